# Sourced by the other scripts: announced steps, logged commands, venvs and builds.
set -o pipefail

LOG_DIR=build/logs
mkdir -p "$LOG_DIR"

# step "what it does" "about how long": announces a step; finish_step reports its time.
step() {
    _step_started=$SECONDS
    echo "--> $1 ($2)"
}
finish_step() {
    echo "    done in $((SECONDS - _step_started)) s"
}

# logged LOGNAME COMMAND...: runs COMMAND with its output in build/logs/LOGNAME.log.
# On failure the output is shown (the last 300 lines, and where the whole log is).
logged() {
    local log="$LOG_DIR/$1.log" status=0; shift
    "$@" >"$log" 2>&1 || status=$?
    if [ "$status" -eq 0 ]; then
        return 0
    fi
    echo "    FAILED (exit status $status): $*" >&2
    echo "    ---- output (last 300 lines of $log) ----" >&2
    tail -n 300 "$log" | grep -v 'is ignored' >&2 || true
    echo "    ---- end of output ----" >&2
    return "$status"
}

# Build tools (the package builds without build isolation), test tools (mypy for its
# stubtest, which loads the module) and the type checker that only the release runs use
# (basedpyright: pyright with its Node.js runtime, from PyPI; about 280 MB).
BUILD_TOOLS=("scikit-build-core>=0.11" cmake ninja)
# The package's optional runtime dependency (its "fast" extra): orjson, with which
# `halvec eval` reads JSON lines several times faster. The package is installed without
# its dependencies, so the venvs that run it get the extra here.
RUNTIME_EXTRAS=("orjson>=3.9")
TEST_TOOLS=(pytest hypothesis "mypy>=1.11")
TYPE_TOOLS=(basedpyright)

# make_venv DIR PYTHON [PACKAGE...]: creates DIR with PYTHON (or reuses it when it was
# made by that same interpreter) and installs or updates the packages in it.
make_venv() {
    local dir=$1 python=$2; shift 2
    local name; name=$(basename "$dir")
    local which='import sys; print(sys.base_prefix, sys.version)'
    if [ -x "$dir/bin/python" ] && [ "$("$dir/bin/python" -c "$which" 2>/dev/null)" = "$("$python" -c "$which")" ]; then
        step "updating the tools in $dir: $*" "about 5 s"
    else
        rm -rf "$dir"
        step "creating $dir with $python and installing $*" "about 20 s, a minute when pip has to download them"
        logged "venv-$name" "$python" -m venv "$dir"
    fi
    logged "pip-$name" "$dir/bin/python" -m pip install --disable-pip-version-check "$@"
    finish_step
}

# install_package VENV BUILD_DIR [-C... options]: builds the extension in BUILD_DIR
# (kept, so the next build is incremental) and installs the package into VENV.
install_package() {
    local dir=$1 build=$2; shift 2
    step "building the extension in $build and installing it into $dir${*:+ ($*)}" \
         "about 40 s from scratch (a minute for the sanitizer build), a few seconds when little changed"
    logged "build-$(basename "$build")" "$dir/bin/python" -m pip install -v --disable-pip-version-check \
        --no-build-isolation --force-reinstall --no-deps -Cbuild-dir="$build" "$@" .
    finish_step
}
