# Sourced by the other scripts: finds the CPython interpreters the package supports.
#
# find_python X.Y prints the path of a CPython X.Y interpreter (regular build, not the
# free-threaded one), or prints nothing and fails. In order: PYTHON312 / PYTHON313 /
# PYTHON314 / PYTHON315 (PYTHON=... also counts for 3.12), pyenv's newest X.Y.*, then
# pythonX.Y on the PATH, then the private interpreter scripts/get_pythons.sh keeps in
# the cache folder (3.14 and 3.15 only). `find_python X.Y system` leaves the cache out.
#
# python_for X.Y does the same, and where nothing is found and X.Y is one that
# scripts/get_pythons.sh can obtain, runs it first (unless HALVEC_GET_PYTHONS=no).

SUPPORTED_PYTHONS="3.12 3.13 3.14 3.15"
OBTAINABLE_PYTHONS="3.14 3.15"
PYTHON_CACHE=${HALVEC_PYTHON_CACHE:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/.cache/pythons}

find_python() {
    local want=$1 where=${2:-} var="PYTHON${1/./}" candidate="" v
    candidate=${!var:-}
    if [ -z "$candidate" ] && [ "$want" = 3.12 ]; then candidate=${PYTHON:-}; fi
    if [ -z "$candidate" ] && command -v pyenv >/dev/null 2>&1; then
        v=$(pyenv versions --bare 2>/dev/null | grep -E "^${want//./\\.}\.[0-9]+$" | sort -V | tail -n 1 || true)
        [ -n "$v" ] && candidate="$(pyenv root)/versions/$v/bin/python$want"
    fi
    if [ -z "$candidate" ] && command -v "python$want" >/dev/null 2>&1; then
        candidate=$(command -v "python$want")
    fi
    if [ -z "$candidate" ] && [ "$where" != system ] && [ -f "$PYTHON_CACHE/$want/.complete" ]; then
        candidate="$PYTHON_CACHE/$want/usr/bin/python$want"
    fi
    [ -n "$candidate" ] || return 1
    "$candidate" -c "
import sys, sysconfig
sys.exit(sys.implementation.name != 'cpython' or '%d.%d' % sys.version_info[:2] != '$want'
         or bool(sysconfig.get_config_var('Py_GIL_DISABLED')))" >/dev/null 2>&1 || return 1
    echo "$candidate"
}

python_for() {
    find_python "$1" && return 0
    case " $OBTAINABLE_PYTHONS " in *" $1 "*) ;; *) return 1 ;; esac
    [ "${HALVEC_GET_PYTHONS:-yes}" != no ] || return 1
    bash "$(dirname "${BASH_SOURCE[0]}")/get_pythons.sh" "$1" >&2 || return 1
    find_python "$1"
}
