# Sourced by the other scripts: sets PYTHON to a CPython 3.12 interpreter.
# An explicit PYTHON=... wins; otherwise pyenv's newest 3.12, then python3.12.
if [ -z "${PYTHON:-}" ]; then
    if command -v pyenv >/dev/null 2>&1; then
        _v=$(pyenv versions --bare 2>/dev/null | grep '^3\.12' | tail -n 1)
        [ -n "$_v" ] && PYTHON="$(pyenv root)/versions/$_v/bin/python3.12"
    fi
    if [ -z "${PYTHON:-}" ] && command -v python3.12 >/dev/null 2>&1; then
        PYTHON=$(command -v python3.12)
    fi
fi
if [ -z "${PYTHON:-}" ] || ! "$PYTHON" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))'; then
    echo "error: CPython 3.12 not found; set PYTHON=/path/to/python3.12" >&2
    exit 1
fi
export PYTHON
