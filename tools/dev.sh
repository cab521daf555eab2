#!/usr/bin/env bash
# Sets everything up on a fresh machine, then runs what is asked:
#
#   bash tools/dev.sh demo [options]   start the sample add-in server, make one verified HTTPS request, stop it
#   bash tools/dev.sh run [options]    run the server until Ctrl-C (options: python -m velmora_master.addin_launcher --help)
#   bash tools/dev.sh certs ACTION     show, trust, untrust or renew the local certificates
#   bash tools/dev.sh doctor [--json]  check the set-up, one line per check (changes nothing)
#   bash tools/dev.sh stop --port N    end the server of ours that holds port N
#   bash tools/dev.sh test [pytest arguments]   without arguments: the checks below, then the whole suite
#   bash tools/dev.sh check            mypy --strict, stubtest against the built module, ruff check and format --check
#   bash tools/dev.sh python [arguments]   the interpreter, importing the package from this checkout
#   bash tools/dev.sh ruff [arguments]  the provisioned ruff (e.g. `ruff format .`)
#
# Set-up: a CPython 3.14 with headers, pytest, hypothesis and cryptography
# (tools/provision_python.sh), the build tools, and the compiled module built
# in place into velmora_master/addin_launcher/ (tools/build.sh, preset `dev`).
# Once everything is there, all this costs well under a second.
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
top=$PWD

PY=$(bash tools/setup.sh)
bash tools/build.sh dev "$PY"

# The provisioning puts ruff beside the interpreter (a user's own interpreter must have it there too).
RUFF=$(dirname "$PY")/ruff

check() {
    "$PY" -m mypy  # what and how strictly: [tool.mypy] in pyproject.toml
    "$PY" -m mypy.stubtest velmora_master.addin_launcher.server_manager
    "$RUFF" check .
    "$RUFF" format --check .
}

command=${1:-test}
shift || true
# Given arguments, `test` is a targeted run while developing: only pytest.
if [ "$command" = test ] && [ $# -eq 0 ]; then check; fi
case "$command" in
    demo) exec "$PY" -m velmora_master.addin_launcher demo --port "${VELMORA_DEMO_PORT:-3443}" "$@" ;;
    run|certs|doctor|stop) exec "$PY" -m velmora_master.addin_launcher "$command" "$@" ;;
    test) exec "$PY" -m pytest "$@" ;;
    check) check ;;
    # Run where the caller is, and a script saved anywhere imports the package from this checkout.
    python) cd "$caller" && PYTHONPATH=$top${PYTHONPATH:+:$PYTHONPATH} exec "$PY" "$@" ;;
    ruff) exec "$RUFF" "$@" ;;
    *) echo "usage: bash tools/dev.sh demo|run|certs|doctor|stop|test|check|python|ruff [arguments]" >&2; exit 2 ;;
esac
