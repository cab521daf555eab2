#!/usr/bin/env bash
# Proves the reference-leak test can fail: builds the module with one reference
# leaked on purpose in every read of `url` (preset `leak`), and runs the leak
# test against it. The run passes only when the test reports exactly that leak.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
PY=$(bash tools/setup.sh)
site=$(bash tools/build.sh leak "$PY")

log=$top/build/leak-refcounts.log
(cd "$site" && "$PY" -m pytest -c "$top/pytest.ini" --rootdir "$top" -p no:cacheprovider -q \
    "$top/tests/test_refcounts.py") >"$log" 2>&1 || true
failed=$(grep -o '^FAILED [^ ]*' "$log" | sed 's/.*\[//; s/\]$//' | sort | tr '\n' ' ')
if [ "$failed" = "url " ]; then
    echo "leak self-check: the leak test caught the deliberate leak in url and nothing else"
else
    echo "leak self-check FAILED: expected only [url] to fail, got: ${failed:-nothing}" >&2
    tail -n 30 "$log" >&2
    exit 1
fi
