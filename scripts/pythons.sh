# Sourced by the other scripts: finds the CPython interpreters the package supports.
#
# find_python X.Y prints the path of a CPython X.Y interpreter (regular build, not the
# free-threaded one), or prints nothing and fails. In order: PYTHON312 / PYTHON313
# (PYTHON=... also counts for 3.12), pyenv's newest X.Y.*, then pythonX.Y on the PATH.

SUPPORTED_PYTHONS="3.12 3.13"

find_python() {
    local want=$1 var="PYTHON${1/./}" candidate="" v
    candidate=${!var:-}
    if [ -z "$candidate" ] && [ "$want" = 3.12 ]; then candidate=${PYTHON:-}; fi
    if [ -z "$candidate" ] && command -v pyenv >/dev/null 2>&1; then
        v=$(pyenv versions --bare 2>/dev/null | grep -E "^${want//./\\.}\.[0-9]+$" | sort -V | tail -n 1 || true)
        [ -n "$v" ] && candidate="$(pyenv root)/versions/$v/bin/python$want"
    fi
    if [ -z "$candidate" ] && command -v "python$want" >/dev/null 2>&1; then
        candidate=$(command -v "python$want")
    fi
    [ -n "$candidate" ] || return 1
    "$candidate" -c "
import sys, sysconfig
sys.exit(sys.implementation.name != 'cpython' or '%d.%d' % sys.version_info[:2] != '$want'
         or bool(sysconfig.get_config_var('Py_GIL_DISABLED')))" >/dev/null 2>&1 || return 1
    echo "$candidate"
}
