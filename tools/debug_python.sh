#!/usr/bin/env bash
# Runs the whole test suite on CPython's debug build (python3.14d, built with
# Py_DEBUG) in development mode (-X dev), against the module built for it.
#
# The debug module goes into a copy of the package under build-debug/site and
# the tests import it from there. The debug interpreter would also load a
# release build of the module, so the build refuses headers without Py_DEBUG
# and tests/test_debug_build.py checks what was loaded. On this interpreter the
# reference-leak test counts references (sys.gettotalrefcount), not blocks.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
PY=$(bash tools/setup.sh)
PYD=$(dirname "$PY")/python3.14d
out=$top/build-debug
site=$out/site
bash tools/copy_package.sh "$site"

cmake -S . -B "$out/cmake" -G Ninja -DPython_EXECUTABLE="$PYD" -DVELMORA_REQUIRE_PY_DEBUG=ON \
    -DVELMORA_OUTPUT_DIR="$site/velmora_master/addin_launcher" ${VELMORA_CMAKE_ARGS:-} >/dev/null
cmake --build "$out/cmake" >&2

# The tests run from the copy; test paths given relative to the checkout are pointed there.
args=()
paths=0
for arg in "$@"; do
    if [ -e "${arg%%::*}" ]; then
        paths=1
        [ "${arg#/}" = "$arg" ] && arg=$top/$arg
    fi
    args+=("$arg")
done
[ $paths = 1 ] || args+=("$top/tests")

export VELMORA_DEBUG_INTERPRETER=1
cd "$site"
exec "$PYD" -X dev -m pytest -c "$top/pytest.ini" --rootdir "$top" -p no:cacheprovider "${args[@]}"
