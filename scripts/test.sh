#!/usr/bin/env bash
# Runs the test suite against the supported CPythons: 3.12 always (the script fails without
# it), 3.13 where present, 3.14 and 3.15 where present or obtainable (scripts/get_pythons.sh
# makes private copies of those where the machine lacks them; HALVEC_GET_PYTHONS=no turns
# that off). A version that cannot be had is skipped, unless HALVEC_REQUIRE_ALL_PYTHONS=1 (as
# .ci/run sets it): then it is a failure.
#
#   bash scripts/test.sh [--full] [--plan] [PYTEST ARGUMENT...]
#
# Each run of the suite ("a variant") is against one build on one interpreter:
#   - release: every version, against the release build;
#   - sanitizers: a build with AddressSanitizer and UndefinedBehaviorSanitizer, on the oldest
#     and the newest version (3.12 and 3.15); with --full, on every version.
# Both builds carry the test-only hooks (allocation failures inside the pattern engine, memory
# figures). --full also selects the thorough property-test profile and the tests marked
# `full` (HALVEC_FULL=1; tests/conftest.py). The type checker (basedpyright) is installed and
# run in one variant only, the release run of the oldest version tested.
#
# Variants run side by side, as many at a time as the machine has cores (HALVEC_TEST_JOBS=N
# to say otherwise), the longest first; 3.14 and 3.15 are obtained while the first variants
# are set up. Each variant has its own venv (.venv-test-X.Y, .venv-asan-X.Y) and build folder
# (build/test-release-X.Y, build/test-asan-X.Y), both kept: a second run rebuilds only what
# changed, and installs nothing when neither the sources nor the venv's tools did (stamps in
# the venv, written last, so an interrupted run leaves nothing the next one trusts). A
# variant's whole output is in build/logs/test-KIND-X.Y.log; pytest's report is shown when the
# variant ends.
#
# HALVEC_PYTHONS="3.12" limits the run to the versions named (with --full, each under the
# sanitizers too). --plan shows the variants a run would have, and runs nothing. Every other
# argument goes to pytest, in every variant, wherever it stands (`--full -k classifier` and
# `-k classifier --full` are one run). Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
if ((BASH_VERSINFO[0] * 100 + BASH_VERSINFO[1] < 501)); then
    echo "error: bash 5.1 or newer is needed (this is $BASH_VERSION)" >&2
    exit 1
fi
source scripts/pythons.sh
source scripts/venv.sh

full=0
plan=0
pytest_args=()
for arg in "$@"; do
    case $arg in
        --full) full=1 ;;
        --plan) plan=1 ;;
        *) pytest_args+=("$arg") ;;
    esac
done
oldest=${SUPPORTED_PYTHONS%% *}
newest=${SUPPORTED_PYTHONS##* }
slots=${HALVEC_TEST_JOBS:-$(nproc 2>/dev/null || echo 2)}
[ "$slots" -ge 1 ] 2>/dev/null || slots=1
# shellcheck disable=SC2206
versions=(${HALVEC_PYTHONS:-$SUPPORTED_PYTHONS})
run_started=$SECONDS

# --- the interpreters: found at once, or obtained in the background --------------------------

declare -A python_of=()  # version -> interpreter, once known
declare -A waiting=()    # versions scripts/get_pythons.sh is obtaining
missing=()
report_missing() {
    local version=$1
    if [ "${HALVEC_REQUIRE_ALL_PYTHONS:-}" = 1 ]; then
        echo "== CPython $version not found nor obtained: a failure (HALVEC_REQUIRE_ALL_PYTHONS=1)" >&2
        missing+=("$version (missing)")
    else
        echo "== CPython $version not found (pyenv, python$version or PYTHON${version/./}=...) nor obtained: skipped"
    fi
}
for version in "${versions[@]}"; do
    if found=$(find_python "$version"); then
        python_of[$version]=$found
        echo "== CPython $version: $found"
    elif [ "$version" = 3.12 ]; then
        echo "error: CPython 3.12 not found; install it with pyenv or set PYTHON312=/path/to/python3.12" >&2
        exit 1
    elif [ "${HALVEC_GET_PYTHONS:-yes}" != no ] && [[ " $OBTAINABLE_PYTHONS " == *" $version "* ]]; then
        waiting[$version]=1
    else
        report_missing "$version"
    fi
done

# --- the variants -----------------------------------------------------------------------------

name_of() {  # "asan 3.12" -> "3.12 sanitizers"
    local kind=${1% *}
    echo "${1#* } $([ "$kind" = release ] && echo release || echo sanitizers)"
}


# The sanitizer runs are the longest: they start first.
queue=()
for version in "${versions[@]}"; do
    if [ "$full" = 1 ] || [ "$version" = "$oldest" ] || [ "$version" = "$newest" ]; then
        queue+=("asan $version")
    fi
done
for version in "${versions[@]}"; do queue+=("release $version"); done
# basedpyright's one variant: the release run of the oldest version tested
type_checks=$(printf '%s\n' "${versions[@]}" | sort -V | head -n 1)

if [ "$plan" = 1 ]; then
    echo "== the variants, in the order they start ($slots at a time), nothing run (--plan):"
    for job in "${queue[@]}"; do
        version=${job#* }
        if [ -z "${python_of[$version]:-}" ] && [ -z "${waiting[$version]:-}" ]; then continue; fi
        echo "   $(name_of "$job")$([ "$job" = "release $type_checks" ] && echo ", with basedpyright" || true)$(
            [ -n "${python_of[$version]:-}" ] || echo ", once CPython $version is obtained")"
    done
    echo "   pytest arguments: ${pytest_args[*]:-(none)}"
    echo "   hypothesis profile: $([ "$full" = 1 ] && echo "full, and the tests marked full" || echo default)"
    [ ${#missing[@]} -eq 0 ] || exit 1
    exit 0
fi

# variant KIND VERSION PYTHON: sets up and runs one variant (in the background; its output
# goes to its log). Exit status 0: the suite passed; 1: it failed; 3: the set-up failed.
variant() {
    local kind=$1 version=$2 python=$3 venv build status=0 started=$SECONDS
    local options=(-Ccmake.define.HALVEC_TEST_HOOKS=ON) tools=("${BUILD_TOOLS[@]}" "${TEST_TOOLS[@]}")
    local pytest=(-q -o "cache_dir=build/pytest-cache/$kind-$version" ${pytest_args[@]+"${pytest_args[@]}"})
    export HALVEC_FULL=$full
    if [ "$kind" = release ]; then
        venv=.venv-test-$version build=build/test-release-$version
        tools+=("${RUNTIME_EXTRAS[@]}")
        # the fit and plot extras (about 370 MB a venv) and the type checker: one venv only;
        # elsewhere the tests that need them are skipped
        [ "$version" != "$type_checks" ] || tools+=("${FIT_PLOT_EXTRAS[@]}" "${TYPE_TOOLS[@]}")
    else
        venv=.venv-asan-$version build=build/test-asan-$version
        options+=(-Ccmake.define.HALVEC_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo)
    fi
    make_venv "$venv" "$python" "${tools[@]}" || return 3
    install_package "$venv" "$build" "${options[@]}" || return 3
    echo "==== set up in $((SECONDS - started)) s"
    step "running the test suite" "$([ "$kind" = release ] && echo "about a minute" || echo "about 3 minutes")"
    echo "==== pytest"
    if [ "$kind" = release ]; then
        "$venv/bin/python" -m pytest "${pytest[@]}" || status=$?
    else
        # The interpreter itself is not instrumented: the runtime must come first in
        # the process (with the C++ runtime beside it, or ASan cannot pass on a C++
        # exception such as std::bad_alloc), the interpreter's allocations go through
        # malloc so ASan sees them, and its own never-freed allocations are not
        # reported as leaks. One report of ASan's own clean-up after a thread exit is
        # suppressed (scripts/asan-suppressions.txt says why).
        LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
        ASAN_OPTIONS="detect_leaks=0:suppressions=$PWD/scripts/asan-suppressions.txt" \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        PYTHONMALLOC=malloc \
        HALVEC_SANITIZED=1 \
            "$venv/bin/python" -m pytest "${pytest[@]}" || status=$?
    fi
    echo "==== end of pytest"
    [ "$status" -eq 0 ] || return 1
    finish_step
}

joined() {  # joined "3.13 release" "3.12 sanitizers" -> "3.12 sanitizers, 3.13 release" (or "none")
    [ $# -gt 0 ] || { echo none; return; }
    printf '%s\n' "$@" | sort -V | paste -sd, - | sed 's/,/, /g'
}

# show_report LOG: what pytest printed, but its lines of progress dots and its summary line.
show_report() {
    sed -n '/^==== pytest$/,/^==== end of pytest$/p' "$1" | sed '1d;$d' \
        | grep -vE '^[.sSxXfFE]+ *(\[ *[0-9]+%\])?$|^(=+ )?[0-9]+ (passed|failed|skipped|errors?|deselected).* in [0-9.]+s' \
        | sed 's/^/    /' || true
}

declare -A running=()   # pid -> variant
declare -A began=()     # pid -> start time
fetch_pid=""
failed=()
passed=()

# Each background job gets a process group of its own, so that an interruption can stop
# each one whole (its pytest, pip or compiler, and what they started).
set -m
stop_all() {
    local pid signal=$1
    for pid in "${!running[@]}" ${fetch_pid:+"$fetch_pid"}; do kill "-$signal" -- "-$pid" 2>/dev/null || true; done
}
interrupted() {
    trap '' INT TERM
    echo >&2
    echo "== interrupted: stopping the variants that run ($(for v in "${running[@]}"; do name_of "$v"; done | paste -sd, -))" >&2
    stop_all INT
    local waited=0
    while [ -n "$(jobs -rp)" ] && [ "$waited" -lt 20 ]; do sleep 0.5; waited=$((waited + 1)); done
    stop_all KILL
    wait 2>/dev/null || true
    echo "== interrupted: nothing half-made will be trusted by the next run" >&2
    exit 130
}
trap interrupted INT TERM
trap 'stop_all KILL' EXIT

if [ ${#waiting[@]} -gt 0 ]; then
    fetching=$(printf '%s\n' "${!waiting[@]}" | sort -V | paste -sd' ' -)
    echo "== obtaining CPython $fetching in the background (scripts/get_pythons.sh; log: $LOG_DIR/get-pythons.log)"
    # shellcheck disable=SC2086
    bash scripts/get_pythons.sh $fetching >"$LOG_DIR/get-pythons.log" 2>&1 </dev/null &
    fetch_pid=$!
fi

start() {
    local job=$1 log
    log="$LOG_DIR/test-${job/ /-}.log"
    (variant ${job% *} ${job#* } "${python_of[${job#* }]}") >"$log" 2>&1 </dev/null &
    running[$!]=$job
    began[$!]=$SECONDS
    echo "--> $(name_of "$job"): started (venv, build, tests; log: $log)"
}

# start_ready: fills the free slots with the first variants in the queue whose interpreter
# is there; a variant whose interpreter turned out missing is dropped.
start_ready() {
    local i job version
    for i in "${!queue[@]}"; do
        [ "${#running[@]}" -lt "$slots" ] || return 0
        job=${queue[$i]}
        version=${job#* }
        if [ -n "${python_of[$version]:-}" ]; then
            start "$job"
            unset 'queue[i]'
        elif [ -z "${waiting[$version]:-}" ]; then
            unset 'queue[i]'
        fi
    done
}

finished() {
    local pid=$1 status=$2 job=${running[$1]} log took
    log="$LOG_DIR/test-${job/ /-}.log"
    took="$((SECONDS - began[$pid])) s"
    unset 'running[$pid]' 'began[$pid]'
    local summary set_up
    set_up=$(sed -n 's/^==== set up in \([0-9]*\) s$/\1/p' "$log")
    [ -z "$set_up" ] || took+=", of which $set_up s set-up"
    summary=$(grep -E '^(=+ )?[0-9]+ (passed|failed|skipped|error|deselected)|no tests ran' "$log" \
              | tail -n 1 | tr -d '=' | sed 's/^ *//;s/ *$//' || true)
    case $status in
        0)
            echo "== $(name_of "$job"): passed in $took (${summary:-no summary})"
            show_report "$log"
            passed+=("$(name_of "$job")")
            ;;
        1)
            echo "== $(name_of "$job"): FAILED in $took (${summary:-no summary}); its report:" >&2
            show_report "$log" >&2
            failed+=("$(name_of "$job")")
            ;;
        *)
            echo "== $(name_of "$job"): FAILED to set up (exit status $status) after $took; its output:" >&2
            tail -n 300 "$log" | sed 's/^/    /' >&2
            failed+=("$(name_of "$job") (set-up)")
            ;;
    esac
}

fetched() {
    local version status=$1
    sed 's/^/    /' "$LOG_DIR/get-pythons.log"
    [ "$status" -eq 0 ] || echo "    (scripts/get_pythons.sh ended with status $status)"
    fetch_pid=""
    for version in $(printf '%s\n' "${!waiting[@]}" | sort -V); do
        unset 'waiting[$version]'
        if found=$(find_python "$version"); then
            python_of[$version]=$found
            echo "== CPython $version: $found"
        else
            report_missing "$version"
        fi
    done
}

while true; do
    start_ready
    [ ${#running[@]} -gt 0 ] || [ -n "$fetch_pid" ] || break
    status=0
    done_pid=""
    wait -n -p done_pid || status=$?
    [ -n "$done_pid" ] || continue
    if [ "$done_pid" = "$fetch_pid" ]; then
        fetched "$status"
    else
        finished "$done_pid" "$status"
    fi
done
trap - EXIT

took=$((SECONDS - run_started))
took="$((took / 60)) min $((took % 60)) s"
if [ ${#passed[@]} -eq 0 ] && [ ${#failed[@]} -eq 0 ]; then
    echo "error: no interpreter was tested (HALVEC_PYTHONS=${HALVEC_PYTHONS:-})" >&2
    exit 1
fi
failed+=(${missing[@]+"${missing[@]}"})
if [ ${#failed[@]} -gt 0 ]; then
    echo "== FAILED: $(joined "${failed[@]}") (passed: $(joined ${passed[@]+"${passed[@]}"}); $took)" >&2
    exit 1
fi
echo "== all passed: $(joined "${passed[@]}") ($took$([ "$full" = 1 ] && echo ", the full profile" || true))"
