set -o pipefail

# pip's notes about local index folders that do not exist are noise here;
# everything else passes through.
quiet() { grep -v 'is ignored' || true; }

# Sourced: make_venv DIR creates (or reuses) a 3.12 venv with the build tools
# and the test tools, so the package builds without build isolation.
make_venv() {
    local dir=$1
    if [ ! -x "$dir/bin/python" ]; then
        "$PYTHON" -m venv "$dir"
    fi
    "$dir/bin/python" -m pip install -q --disable-pip-version-check \
        "scikit-build-core>=0.10" cmake ninja pytest hypothesis 2>&1 | quiet
    "$dir/bin/python" -c 'import scikit_build_core, pytest, hypothesis' # fail loudly if the install did
}

# install_package VENV BUILD_DIR [extra cmake defines...]
install_package() {
    local dir=$1 build=$2; shift 2
    "$dir/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
        --force-reinstall --no-deps -Cbuild-dir="$build" "$@" . 2>&1 | quiet
}
