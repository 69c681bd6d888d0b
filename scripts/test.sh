#!/usr/bin/env bash
# Runs the whole test suite twice: against the release build, then against a
# build with AddressSanitizer and UndefinedBehaviorSanitizer. Both builds carry
# the test-only hooks (allocation failures inside the pattern engine, memory
# figures); tests that need them skip on a build without. Exits non-zero when
# anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python312.sh
source scripts/venv.sh

echo "== release build"
make_venv .venv-test
install_package .venv-test build/test-release -Ccmake.define.HALVEC_TEST_HOOKS=ON
.venv-test/bin/python -m pytest -q "$@"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
make_venv .venv-asan
install_package .venv-asan build/test-asan -Ccmake.define.HALVEC_TEST_HOOKS=ON -Ccmake.define.HALVEC_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo
# The interpreter itself is not instrumented: the runtime must come first in
# the process (with the C++ runtime beside it, or ASan cannot pass on a C++
# exception such as std::bad_alloc), the interpreter's allocations go through
# malloc so ASan sees them, and its own never-freed allocations are not
# reported as leaks.
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
ASAN_OPTIONS=detect_leaks=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
PYTHONMALLOC=malloc \
HALVEC_SANITIZED=1 \
    .venv-asan/bin/python -m pytest -q -p no:cacheprovider "$@"
