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
# stubtest, which loads the module) and the type checker that one release run uses, for
# every supported version at once (basedpyright: pyright with its Node.js runtime, from
# PyPI; about 280 MB).
BUILD_TOOLS=("scikit-build-core>=0.11" cmake ninja)
# The package's optional runtime dependency (its "fast" extra): orjson, with which
# `halvec eval` reads JSON lines several times faster. The package is installed without
# its dependencies, so the venvs that run it get the extra here.
RUNTIME_EXTRAS=("orjson>=3.9")
# The extras for fitting routers and drawing curves (halvec[fit], halvec[plot]): the release
# runs test `halvec fit`, the native scorer against scikit-learn's and `bench --plot`.
FIT_PLOT_EXTRAS=(numpy scipy scikit-learn matplotlib)
TEST_TOOLS=(pytest hypothesis "mypy>=1.11")
TYPE_TOOLS=(basedpyright)

# make_venv DIR PYTHON [PACKAGE...]: DIR as a venv of PYTHON with PACKAGES installed. The
# stamp DIR/.halvec-venv names the interpreter and the packages, and is written last, once
# pip has installed them: a venv whose stamp says the same is used as it is, without pip;
# any other (made by another interpreter, for other packages, or without a stamp: left by a
# run that stopped while it was being made) is made afresh.
make_venv() {
    local dir=$1 python=$2; shift 2
    local name stamp="$dir/.halvec-venv" wanted
    name=$(basename "$dir")
    wanted=$("$python" -c 'import sys; print(sys.base_prefix, sys.version.replace("\n", " "))') || return 1
    wanted+=$'\n'"packages: $*"
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ] && [ -x "$dir/bin/python" ]; then
        echo "--> $dir: as the last run left it"
        return 0
    fi
    rm -rf "$dir"
    step "creating $dir with $python and installing $*" "about 20 s, a minute when pip has to download them"
    logged "venv-$name" "$python" -m venv "$dir" || return 1
    logged "pip-$name" "$dir/bin/python" -m pip install --disable-pip-version-check "$@" || return 1
    echo "$wanted" >"$stamp"
    finish_step
}

# sources_digest: one hash of every file the package is built from (what git lists, tracked
# or not yet, outside tests/, benchmarks/, scripts/ and .ci/), or nothing outside a git work tree.
sources_digest() {
    git rev-parse --is-inside-work-tree >/dev/null 2>&1 || return 0
    { git ls-files -z --cached --others --exclude-standard -- . ':!tests/' ':!benchmarks/' ':!scripts/' ':!.ci/' \
          | sort -z | xargs -0 -r sha1sum 2>/dev/null || true; } | sha1sum | cut -d' ' -f1
}

# installed_digest VENV: one hash of the package's files as installed in VENV.
installed_digest() {
    local site
    site=$("$1/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))') || return 1
    [ -d "$site/halvec" ] || return 1
    find "$site/halvec" -type f ! -name '*.pyc' -print0 | sort -z | xargs -0 -r sha1sum | sha1sum | cut -d' ' -f1
}

# install_package VENV BUILD_DIR [-C... options]: builds the extension in BUILD_DIR (kept, so
# the next build is incremental) and installs the package into VENV. The stamp
# VENV/.halvec-package holds the sources' digest, the build folder and options, and the
# installed files' digest, written after a successful install: when all of them are still
# the same, nothing is built or installed.
install_package() {
    local dir=$1 build=$2; shift 2
    local stamp="$dir/.halvec-package" sources wanted=""
    sources=$(sources_digest)
    if [ -n "$sources" ]; then
        wanted="$sources $build $*"
        if [ -f "$stamp" ] && [ "$(sed -n 1p "$stamp")" = "$wanted" ] \
                && [ "$(sed -n 2p "$stamp")" = "$(installed_digest "$dir" 2>/dev/null)" ]; then
            echo "--> the package in $dir is built from these sources already ($build${*:+, $*})"
            return 0
        fi
    fi
    rm -f "$stamp"
    step "building the extension in $build and installing it into $dir${*:+ ($*)}" \
         "about 40 s from scratch (a minute and a half for the sanitizer build), a few seconds when little changed"
    logged "build-$(basename "$build")" "$dir/bin/python" -m pip install -v --disable-pip-version-check \
        --no-build-isolation --force-reinstall --no-deps -Cbuild-dir="$build" "$@" . || return 1
    [ -z "$wanted" ] || printf '%s\n%s\n' "$wanted" "$(installed_digest "$dir")" >"$stamp"
    finish_step
}
