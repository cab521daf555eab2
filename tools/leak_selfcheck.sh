#!/usr/bin/env bash
# Proves the reference-leak test can fail: builds the module with one reference
# leaked on purpose in every read of `url`, and runs the leak test against it.
# The run passes only when the test reports exactly that leak.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
PY=$(bash tools/setup.sh)
out=$top/build-leak
bash tools/copy_package.sh "$out/site"
cmake -S . -B "$out/cmake" -G Ninja -DPython_EXECUTABLE="$PY" -DVELMORA_DELIBERATE_LEAK=ON \
    -DVELMORA_OUTPUT_DIR="$out/site/velmora_master/addin_launcher" >/dev/null
cmake --build "$out/cmake" >&2

log=$out/refcounts.log
(cd "$out/site" && "$PY" -m pytest -c "$top/pytest.ini" --rootdir "$top" -p no:cacheprovider -q \
    "$top/tests/test_refcounts.py") >"$log" 2>&1 || true
failed=$(grep -o '^FAILED [^ ]*' "$log" | sed 's/.*\[//; s/\]$//' | sort | tr '\n' ' ')
if [ "$failed" = "url " ]; then
    echo "leak self-check: the leak test caught the deliberate leak in url and nothing else"
else
    echo "leak self-check FAILED: expected only [url] to fail, got: ${failed:-nothing}" >&2
    tail -n 30 "$log" >&2
    exit 1
fi
