#!/usr/bin/env bash
# Runs the whole test suite against the module built with Clang (preset `clang`),
# so the sources stay clean under a second compiler and its warnings.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang++ >/dev/null || { echo "clang: installing clang" >&2; apt-get update -qq >&2; apt-get install -y -qq clang >&2; }
PY=$(bash tools/setup.sh)
site=$(bash tools/build.sh clang "$PY")
exec bash tools/run_suite.sh "$site" "$PY" "$@"
