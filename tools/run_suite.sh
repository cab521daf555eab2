#!/usr/bin/env bash
# run_suite.sh SITE PYTHON [pytest arguments]: runs the test suite with PYTHON from
# SITE, a copy of the package holding another build of the module (tools/build.sh
# makes one per preset), so the tests import that build. Test paths given
# relative to the checkout are pointed at the checkout's tests; without any, the
# whole suite runs.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
site=$1 python=$2
shift 2
args=()
paths=0
for arg in "$@"; do
    if [ -e "${arg%%::*}" ]; then
        paths=1
        [ "${arg#/}" = "$arg" ] && arg=$top/$arg
    fi
    args+=("$arg")
done
[ $paths = 1 ] || args+=("$top/tests")
cd "$site"
exec "$python" -m pytest -c "$top/pytest.ini" --rootdir "$top" -p no:cacheprovider "${args[@]}"
