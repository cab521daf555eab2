#!/usr/bin/env bash
# Prints the path of a CPython 3.14 interpreter that has its C headers, venv,
# pytest, hypothesis, cryptography, psutil (with type stubs for mypy), the wheel tools (scikit-build-core, pip,
# build, auditwheel) and the checkers (mypy, with ruff beside the interpreter),
# with CPython's debug build `python3.14d` beside it (whose headers are links
# into the release folder: the debug build's own pyconfig.h is put first by
# CMake's VELMORA_REQUIRE_PY_DEBUG), provisioning one first
# when the machine has none.
#
# Debian 12 ships no 3.14, so the interpreter and its libraries are taken from
# Debian's unstable suite into a private root under ~/.cache: apt runs with a
# private configuration (its own sources list, lists, cache and an empty dpkg
# status), the packages are only unpacked, never installed, and the interpreter
# is patched to use the root's own loader and C library. The system is not touched.
set -euo pipefail

PACKAGES="python3.14 python3.14-dev libpython3.14-dev python3.14-venv python3-pytest python3-cryptography python3-hypothesis python3-scikit-build-core python3-pip python3-build python3.14-dbg libpython3.14-dbg mypy ruff python3-auditwheel python3-pip-whl python3-psutil python3-typeshed"
# Raised whenever the steps after unpacking change, so that a root made by an
# earlier version of this script is made anew rather than trusted because its
# programs exist.
RECIPE=2
CACHE=${VELMORA_PY_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/velmora-python3.14}
# One root per recipe and package list: checkouts of different versions on one
# machine (branches, worktrees) each keep theirs instead of rebuilding the
# other's. Roots nobody has used for a day are removed when a new one is made.
KEY=$(printf '%s' "$RECIPE $PACKAGES" | cksum | cut -d' ' -f1)
HERE=$CACHE/$KEY
ROOT=$HERE/root
STAMP=$HERE/complete

log() { echo "provision: $*" >&2; }

has_everything() {  # $1: interpreter
    "$1" - <<'PY' >/dev/null 2>&1
import sys, sysconfig, os
assert sys.version_info[:2] == (3, 14)
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
import pytest, hypothesis, cryptography, ssl, socket, subprocess, venv, ensurepip
import scikit_build_core, pip, build, mypy, auditwheel, psutil
assert any(os.path.isdir(os.path.join(p, "psutil-stubs")) for p in sys.path)
PY
    local bin
    bin=$(dirname "$1")
    "$bin/python3.14d" -c 'import sys; assert hasattr(sys, "gettotalrefcount")' >/dev/null 2>&1 &&
        "$bin/ruff" --version >/dev/null 2>&1
}

# ensurepip takes pip from the wheel folder the interpreter was configured with,
# /usr/share/python-wheels: the machine's own, whose older pip fails under 3.14.
# Point it at the root's copy of Debian's wheels instead, so `python3.14 -m venv`
# makes working environments. Done after unpacking, and checked on every run so
# a root unpacked before this step gets it too.
use_own_wheels() {
    local data
    for data in "$ROOT"/usr/lib/python3.14/_sysconfigdata_*.py; do
        grep -q "'WHEEL_PKG_DIR': '/usr/share/python-wheels/'" "$data" || continue
        sed -i "s|'WHEEL_PKG_DIR': '/usr/share/python-wheels/'|'WHEEL_PKG_DIR': '$ROOT/usr/share/python-wheels/'|" "$data"
    done
}

PY=$ROOT/usr/bin/python3.14
OWN=$HERE/own-interpreter

ready_root() {
    [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$RECIPE $PACKAGES" ] &&
        [ -x "$PY" ] && [ -x "$ROOT/usr/bin/python3.14d" ] && [ -x "$ROOT/usr/bin/ruff" ] &&
        grep -q '^#define Py_DEBUG' "$ROOT/usr/include/python3.14d/pyconfig.h"
}

# Fast path, taken on every call once provisioned: no interpreter is started.
# Truncating `used` marks the root as in use (a shell builtin, no process).
if ready_root; then
    use_own_wheels
    : >"$HERE/used"
    echo "$PY"; exit 0
fi
if [ -f "$OWN" ] && [ "$(sed -n 2p "$OWN")" = "$PACKAGES" ] && [ -x "$(sed -n 1p "$OWN")" ]; then
    : >"$HERE/used"
    sed -n 1p "$OWN"; exit 0
fi

# Two checkouts provisioning at once: the second waits, then finds the root made.
mkdir -p "$CACHE"
exec 9>"$CACHE/$KEY.lock"
flock 9
if ready_root; then
    use_own_wheels
    : >"$HERE/used"
    echo "$PY"; exit 0
fi

# A user's own python3.14 with everything needed wins over building a root.
if own=$(command -v python3.14 2>/dev/null) && [ "${own#"$ROOT"}" = "$own" ] && has_everything "$own"; then
    mkdir -p "$HERE"
    printf '%s\n%s\n' "$own" "$PACKAGES" >"$OWN"
    echo "$own"; exit 0
fi

log "building a private CPython 3.14 root in $HERE (one-off, about 550 MB)"
command -v patchelf >/dev/null || { log "installing patchelf"; apt-get update -qq >&2; apt-get install -y -qq patchelf >&2; }

# The archive address comes from the machine's own apt configuration.
uri=$(grep -h -o -E '^URIs:[[:space:]]*[^[:space:]]+' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' | grep -v -- '-security' | head -n1 || true)
[ -n "$uri" ] || uri=$(grep -h -o -E '^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?[^[:space:]]+' /etc/apt/sources.list 2>/dev/null | awk '{print $NF}' | grep -v -- '-security' | head -n1 || true)
[ -n "$uri" ] || { log "no Debian archive found in the apt configuration"; exit 1; }

rm -rf "$HERE"
APT=$HERE/apt
mkdir -p "$APT/lists/partial" "$APT/cache/archives/partial" "$ROOT"
echo "deb $uri sid main" > "$APT/sources.list"
: > "$APT/status"
apt_opts=(-o Dir::Etc::sourcelist="$APT/sources.list" -o Dir::Etc::sourceparts=-
          -o Dir::State::Lists="$APT/lists" -o Dir::Cache="$APT/cache"
          -o Dir::State::status="$APT/status" -o Debug::NoLocking=1
          -o APT::Sandbox::User=root -o Acquire::Retries=3)
size_of() { du -sh "$1" 2>/dev/null | cut -f1; }
log "1/5 reading the package lists of $uri (sid)"
apt-get "${apt_opts[@]}" -qq update >&2
log "2/5 downloading $(echo $PACKAGES | wc -w) packages with their dependencies"
# shellcheck disable=SC2086
apt-get "${apt_opts[@]}" -qq -y --no-install-recommends --download-only install $PACKAGES >&2
debs=("$APT"/cache/archives/*.deb)
log "3/5 unpacking ${#debs[@]} packages ($(size_of "$APT/cache/archives")) into $ROOT"
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$ROOT"; done
log "4/5 pointing the interpreters at the root's own loader and C library"

libdir=$ROOT/usr/lib/x86_64-linux-gnu
for program in "$PY" "$ROOT/usr/bin/python3.14d" "$ROOT/usr/bin/ruff"; do
    patchelf --set-interpreter "$libdir/ld-linux-x86-64.so.2" --force-rpath --set-rpath "$libdir" "$program"
done
# The generic pyconfig.h of each build only dispatches on multiarch paths under
# the root's usr/include, which the compiler does not search: put the real ones
# in their place.
for build in python3.14 python3.14d; do
    cp "$ROOT/usr/include/x86_64-linux-gnu/$build/pyconfig.h" "$ROOT/usr/include/$build/pyconfig.h"
done
rm -rf "$APT/cache/archives"
use_own_wheels

log "5/5 checking the root ($(size_of "$ROOT"))"
has_everything "$PY" || { log "the provisioned interpreter is incomplete"; exit 1; }
echo "$RECIPE $PACKAGES" > "$STAMP"
: >"$HERE/used"
# Roots of other recipes or package lists that nobody used for a day, and the
# single root of the script's earlier layout.
for other in "$CACHE"/*/; do
    other=${other%/}
    [ "$other" != "$HERE" ] || continue
    if [ -f "$other/used" ] && [ -n "$(find "$other/used" -mmin +1440)" ]; then rm -rf "$other" "$other.lock"; fi
done
if [ -f "$CACHE/complete" ] && [ -n "$(find "$CACHE/complete" -mmin +1440)" ]; then
    rm -rf "$CACHE/root" "$CACHE/apt" "$CACHE/complete" "$CACHE/own-interpreter"
fi
log "ready: $PY"
echo "$PY"
