#!/usr/bin/env bash
# Runs the whole test suite on every supported CPython: 3.12 always (the script fails
# without it), 3.13 where present, 3.14 and 3.15 where present or obtainable
# (scripts/get_pythons.sh makes private copies of those where the machine lacks them;
# HALVEC_GET_PYTHONS=no turns that off). A version that cannot be had is skipped, unless
# HALVEC_REQUIRE_ALL_PYTHONS=1 (as .ci/run sets it): then it is a failure. For each
# interpreter, twice: against the
# release build, then against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
# Both builds carry the test-only hooks (allocation failures inside the pattern engine,
# memory figures); tests that need them skip on a build without. Each interpreter has
# its own venvs (.venv-test-X.Y, .venv-asan-X.Y) and build folders (build/test-*-X.Y).
# HALVEC_PYTHONS="3.12" limits the run to the versions named. Exits non-zero when
# anything fails; extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh
source scripts/venv.sh

failed=()
ran=()
missing=()
for version in ${HALVEC_PYTHONS:-$SUPPORTED_PYTHONS}; do
    if ! python=$(python_for "$version"); then
        if [ "$version" = 3.12 ]; then
            echo "error: CPython 3.12 not found; install it with pyenv or set PYTHON312=/path/to/python3.12" >&2
            exit 1
        fi
        if [ "${HALVEC_REQUIRE_ALL_PYTHONS:-}" = 1 ]; then
            echo "== CPython $version not found nor obtained: a failure (HALVEC_REQUIRE_ALL_PYTHONS=1)" >&2
            missing+=("$version (missing)")
        else
            echo "== CPython $version not found (pyenv, python$version or PYTHON${version/./}=...) nor obtained: skipped"
        fi
        continue
    fi
    ran+=("$version")

    echo "== CPython $version ($python): release build"
    make_venv ".venv-test-$version" "$python" "${BUILD_TOOLS[@]}" "${TEST_TOOLS[@]}" "${TYPE_TOOLS[@]}" \
        "${RUNTIME_EXTRAS[@]}"
    install_package ".venv-test-$version" "build/test-release-$version" -Ccmake.define.HALVEC_TEST_HOOKS=ON
    step "running the test suite against the release build" "about 65 s"
    if ".venv-test-$version/bin/python" -m pytest -q "$@"; then finish_step; else failed+=("$version release"); fi

    echo "== CPython $version: AddressSanitizer + UndefinedBehaviorSanitizer build"
    make_venv ".venv-asan-$version" "$python" "${BUILD_TOOLS[@]}" "${TEST_TOOLS[@]}"
    install_package ".venv-asan-$version" "build/test-asan-$version" -Ccmake.define.HALVEC_TEST_HOOKS=ON -Ccmake.define.HALVEC_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo
    step "running the test suite against the sanitizer build" "about 3 minutes"
    # The interpreter itself is not instrumented: the runtime must come first in
    # the process (with the C++ runtime beside it, or ASan cannot pass on a C++
    # exception such as std::bad_alloc), the interpreter's allocations go through
    # malloc so ASan sees them, and its own never-freed allocations are not
    # reported as leaks. One report of ASan's own clean-up after a thread exit is
    # suppressed (scripts/asan-suppressions.txt says why).
    status=0
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
ASAN_OPTIONS="detect_leaks=0:suppressions=$PWD/scripts/asan-suppressions.txt" \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
PYTHONMALLOC=malloc \
HALVEC_SANITIZED=1 \
    ".venv-asan-$version/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
    if [ "$status" -eq 0 ]; then finish_step; else failed+=("$version sanitizers"); fi
done

if [ ${#ran[@]} -eq 0 ]; then
    echo "error: no interpreter was tested (HALVEC_PYTHONS=${HALVEC_PYTHONS:-})" >&2
    exit 1
fi
failed+=(${missing[@]+"${missing[@]}"})
if [ ${#failed[@]} -gt 0 ]; then
    echo "== FAILED: ${failed[*]} (tested: CPython ${ran[*]})" >&2
    exit 1
fi
echo "== all passed on CPython ${ran[*]}, release and sanitizer builds"
