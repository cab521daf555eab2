#!/usr/bin/env bash
# Proves the reference-leak test can fail: builds the module with one reference
# leaked on purpose in every read of `url`, and runs the leak test against it,
# on the release interpreter (which counts allocated blocks, preset `leak`) and
# on the debug interpreter (which counts references, preset `leak-debug`). Each
# run passes only when the test reports exactly that leak.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build

# $1: preset, $2: what the interpreter counts.
selfcheck() {
    local preset=$1 label=$2 log failed
    log=build/$preset-refcounts.log
    bash tools/suite.sh "$preset" -q tests/test_refcounts.py >"$log" 2>&1 || true
    failed=$(grep -o '^FAILED [^ ]*' "$log" | sed 's/.*\[//; s/\]$//' | sort | tr '\n' ' ')
    if [ "$failed" = "url " ]; then
        echo "leak self-check ($label): the leak test caught the deliberate leak in url and nothing else"
    else
        echo "leak self-check FAILED ($label): expected only [url] to fail, got: ${failed:-nothing}" >&2
        tail -n 30 "$log" >&2
        return 1
    fi
}

selfcheck leak "release interpreter, blocks"
selfcheck leak-debug "debug interpreter, references"
