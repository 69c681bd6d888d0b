# Sourced: sets PYTHON to a CPython 3.12 interpreter (for scripts that need only 3.12).
# An explicit PYTHON=... (or PYTHON312=...) wins; otherwise pyenv's newest 3.12, then
# python3.12. The lookup itself is scripts/pythons.sh, shared with the other scripts.
source "$(dirname "${BASH_SOURCE[0]}")/pythons.sh"
if ! PYTHON=$(find_python 3.12); then
    echo "error: CPython 3.12 not found; set PYTHON=/path/to/python3.12" >&2
    exit 1
fi
export PYTHON
