#!/usr/bin/env bash
# Runs the whole test suite on CPython's debug build (python3.14d, built with
# Py_DEBUG) in development mode (-X dev), against the module built for it
# (preset `debug-python`, into a copy of the package under build/debug-python-site),
# built without NDEBUG so that the assertions of CPython's headers run in it too.
#
# The debug interpreter would also load a release build of the module, so the
# build refuses headers without Py_DEBUG, or with NDEBUG, and
# tests/test_debug_build.py checks what was loaded. On this interpreter the reference-leak test counts
# references (sys.gettotalrefcount), not blocks.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=$(bash tools/setup.sh)
PYD=$(dirname "$PY")/python3.14d
site=$(bash tools/build.sh debug-python "$PYD")
export VELMORA_DEBUG_INTERPRETER=1 PYTHONDEVMODE=1
exec bash tools/run_suite.sh "$site" "$PYD" "$@"
