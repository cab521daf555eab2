#!/usr/bin/env bash
# Proves the reference-leak test can fail: builds the module with one reference
# leaked on purpose in every read of `url`, and runs the leak test against it,
# on the release interpreter (which counts allocated blocks) and on the debug
# interpreter (which counts references). Each run passes only when the test
# reports exactly that leak.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
PY=$(bash tools/setup.sh)
PYD=$(dirname "$PY")/python3.14d

# $1: interpreter, $2: build folder, $3...: options for it and for the build.
selfcheck() {
    local interpreter=$1 out=$2
    shift 2
    bash tools/copy_package.sh "$out/site"
    cmake -S . -B "$out/cmake" -G Ninja -DPython_EXECUTABLE="$interpreter" -DVELMORA_DELIBERATE_LEAK=ON "$@" \
        -DVELMORA_OUTPUT_DIR="$out/site/velmora_master/addin_launcher" >/dev/null
    cmake --build "$out/cmake" >&2

    local log=$out/refcounts.log failed label
    label=$(basename "$interpreter")
    (cd "$out/site" && "$interpreter" -m pytest -c "$top/pytest.ini" --rootdir "$top" -p no:cacheprovider -q \
        "$top/tests/test_refcounts.py") >"$log" 2>&1 || true
    failed=$(grep -o '^FAILED [^ ]*' "$log" | sed 's/.*\[//; s/\]$//' | sort | tr '\n' ' ')
    if [ "$failed" = "url " ]; then
        echo "leak self-check ($label): the leak test caught the deliberate leak in url and nothing else"
    else
        echo "leak self-check FAILED ($label): expected only [url] to fail, got: ${failed:-nothing}" >&2
        tail -n 30 "$log" >&2
        return 1
    fi
}

selfcheck "$PY" "$top/build-leak"
selfcheck "$PYD" "$top/build-leak-debug" -DVELMORA_REQUIRE_PY_DEBUG=ON
