#!/usr/bin/env bash
# Proves the concurrency test of the certificate store can fail: runs it with
# callers that take no lock (VELMORA_TEST_STORE_UNLOCKED), and passes only when
# the test then reports inconsistent rounds, whose count it prints.
set -euo pipefail
cd "$(dirname "$0")/.."
log=$(mktemp)
trap 'rm -f "$log"' EXIT
VELMORA_TEST_STORE_UNLOCKED=1 bash tools/dev.sh test -q tests/test_certificate_store.py \
    -k test_eight_processes_at_once_all_get_the_one_consistent_store >"$log" 2>&1 || true
found=$(grep -oE '[0-9]+ of [0-9]+ rounds inconsistent \([0-9]+ of [0-9]+ answers wrong\)' "$log" | head -n 1 || true)
if [ -n "$found" ]; then
    echo "lock self-check: without the lock, the concurrency test found $found"
else
    echo "lock self-check FAILED: without the lock, the concurrency test found nothing wrong" >&2
    tail -n 30 "$log" >&2
    exit 1
fi
