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
# in place into velmora_master/addin_launcher/ (tools/build.sh, preset `dev`).
# Once everything is there, all this costs well under a second.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=$(bash tools/setup.sh)
bash tools/build.sh dev "$PY"

command=${1:-test}
shift || true
case "$command" in
    demo) exec "$PY" -m velmora_master.addin_launcher --once --port "${VELMORA_DEMO_PORT:-3443}" "$@" ;;
    run) exec "$PY" -m velmora_master.addin_launcher "$@" ;;
    test) exec "$PY" -m pytest "$@" ;;
    python) exec "$PY" "$@" ;;
    *) echo "usage: bash tools/dev.sh demo|run|test|python [arguments]" >&2; exit 2 ;;
esac
