#!/usr/bin/env bash
# Sets everything up on a fresh machine, then runs what is asked:
#
#   bash tools/dev.sh demo [options]   start the sample add-in server, make one verified HTTPS request, stop it
#   bash tools/dev.sh run [options]    run the server until Ctrl-C (options: python -m velmora_master.addin_launcher --help)
#   bash tools/dev.sh test [pytest arguments]
#   bash tools/dev.sh python [arguments]
#
# Set-up: a CPython 3.14 with headers, pytest, hypothesis and cryptography
# (tools/provision_python.sh), the build tools, and the compiled module built
# in place into velmora_master/addin_launcher/.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for tool in cmake ninja g++ node nm; do command -v "$tool" >/dev/null || missing+=("$tool"); done
if [ ${#missing[@]} -gt 0 ]; then
    declare -A package=([cmake]=cmake [ninja]=ninja-build [g++]=g++ [node]=nodejs [nm]=binutils)
    echo "setup: installing ${missing[*]}" >&2
    apt-get update -qq >&2
    apt-get install -y -qq $(for t in "${missing[@]}"; do echo "${package[$t]}"; done) >&2
fi

PY=$(bash tools/provision_python.sh)
BUILD_DIR=${VELMORA_BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DPython_EXECUTABLE="$PY" ${VELMORA_CMAKE_ARGS:-} >/dev/null
cmake --build "$BUILD_DIR" >&2

command=${1:-test}
shift || true
case "$command" in
    demo) exec "$PY" -m velmora_master.addin_launcher --once --port "${VELMORA_DEMO_PORT:-3443}" "$@" ;;
    run) exec "$PY" -m velmora_master.addin_launcher "$@" ;;
    test) exec "$PY" -m pytest "$@" ;;
    python) exec "$PY" "$@" ;;
    *) echo "usage: bash tools/dev.sh demo|run|test|python [arguments]" >&2; exit 2 ;;
esac
