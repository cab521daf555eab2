#!/usr/bin/env bash
# Sets everything up on a fresh machine, then runs what is asked:
#
#   bash tools/dev.sh demo [options]   start the sample add-in server, make one verified HTTPS request, stop it
#   bash tools/dev.sh run [options]    run the server until Ctrl-C (options: python -m velmora_master.addin_launcher --help)
#   bash tools/dev.sh certs ACTION     show, trust, untrust or renew the local certificates
#   bash tools/dev.sh test [pytest arguments]
#   bash tools/dev.sh python [arguments]
#
# Set-up: a CPython 3.14 with headers, pytest, hypothesis and cryptography
# (tools/provision_python.sh), the build tools, and the compiled module built
# in place into velmora_master/addin_launcher/.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=$(bash tools/setup.sh)
BUILD_DIR=${VELMORA_BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DPython_EXECUTABLE="$PY" ${VELMORA_CMAKE_ARGS:-} >/dev/null
cmake --build "$BUILD_DIR" >&2

command=${1:-test}
shift || true
case "$command" in
    demo) exec "$PY" -m velmora_master.addin_launcher demo --port "${VELMORA_DEMO_PORT:-3443}" "$@" ;;
    run|certs) exec "$PY" -m velmora_master.addin_launcher "$command" "$@" ;;
    test) exec "$PY" -m pytest "$@" ;;
    python) exec "$PY" "$@" ;;
    *) echo "usage: bash tools/dev.sh demo|run|certs|test|python [arguments]" >&2; exit 2 ;;
esac
