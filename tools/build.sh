#!/usr/bin/env bash
# build.sh PRESET PYTHON [cmake -D options]: configures (when needed) and builds
# the module with a preset of CMakePresets.json, against the interpreter PYTHON.
#
# `dev` builds in place into velmora_master/addin_launcher/. Every other preset
# builds in its own folder, and `cmake --install` then puts the package with
# that build into a fresh build/PRESET-site, whose path is printed on standard
# output so the caller can run the tests from there.
# A build folder configured for another checkout (a copied or moved tree) or
# another interpreter is started afresh instead of failing on CMake's stale cache.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=$1 python=$2
shift 2
dir=build/$preset
cache=$dir/CMakeCache.txt

if [ -f "$cache" ]; then
    configured_for=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$cache")
    configured_python=$(sed -n 's/^Python_EXECUTABLE:[A-Z]*=//p' "$cache")
    if [ "$configured_for" != "$PWD" ]; then
        echo "build: $dir was configured for $configured_for; starting it afresh for $PWD" >&2
        rm -rf "$dir"
    elif [ "$configured_python" != "$python" ]; then
        rm -rf "$dir"
    fi
fi

# Ninja re-runs CMake by itself when a CMakeLists.txt changes, so a configured
# folder only needs configuring again when options are given or the presets,
# whose settings only `cmake --preset` applies, changed.
presets=$(cksum <CMakePresets.json)
if [ ! -f "$dir/build.ninja" ] || [ $# -gt 0 ] || [ "$(cat "$dir/presets.cksum" 2>/dev/null)" != "$presets" ]; then
    cmake --preset "$preset" -DPython_EXECUTABLE="$python" "$@" >/dev/null
    echo "$presets" >"$dir/presets.cksum"
fi
if ! cmake --build "$dir" >"$dir/build.log" 2>&1; then
    cat "$dir/build.log" >&2
    exit 1
fi
grep -v '^ninja: no work to do' "$dir/build.log" >&2 || true
[ "$preset" != dev ] || exit 0

# A fresh copy each time: a module removed from the checkout must not linger in it.
site=$PWD/build/$preset-site
rm -rf "$site"
cmake --install "$dir" --prefix "$site" >/dev/null
echo "$site"
