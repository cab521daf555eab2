#!/usr/bin/env bash
# suite.sh PRESET [pytest arguments]: builds the module with PRESET (tools/build.sh)
# and runs the test suite against that build, the way the build is meant to run:
#
#   asan          under AddressSanitizer and UBSan (below)
#   debug-python  on CPython's debug build, python3.14d -X dev (Py_DEBUG, assertions
#                 on; tests/test_debug_build.py checks what was loaded, and the
#                 reference-leak test counts references, not blocks)
#   clang         built with Clang, so the sources stay clean under a second compiler
#   leak, leak-debug   the deliberate leak of tools/leak_selfcheck.sh
#   dev           the in-place build, as `bash tools/dev.sh test` runs it
#
# Every build but `dev` is a copy of the package under build/PRESET-site, from which
# the tests import it. Test paths given relative to the checkout are pointed at the
# checkout's tests; without any, the whole suite runs.
#
# Under ASan the sanitizer runtime is preloaded into the interpreter and every
# process the tests start, PYTHONMALLOC=malloc sends every object allocation
# through it, and the reports go to build/asan-reports; tools/sanitizer_reports.py
# then fails the run on any memory or undefined-behaviour error, and on any leak
# whose allocation stack shows our module (what the interpreter never frees at exit
# is not ours). Objects leaked by a missing decref are the reference-leak test's to
# find: the interpreter is built without frame pointers, so their allocation stacks
# end inside it.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
preset=${1:?usage: bash tools/suite.sh PRESET [pytest arguments]}
shift

if [ "$preset" = clang ] && ! command -v clang++ >/dev/null; then
    echo "suite: installing clang" >&2
    apt-get update -qq >&2
    apt-get install -y -qq clang >&2
fi
PY=$(bash tools/setup.sh)
case $preset in
    debug-python | leak-debug)
        PY=$(dirname "$PY")/python3.14d
        export VELMORA_DEBUG_INTERPRETER=1 PYTHONDEVMODE=1 ;;
esac
site=$(bash tools/build.sh "$preset" "$PY")
[ "$preset" != dev ] || site=$top

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
run() { (cd "$site" && "$PY" -m pytest -c "$top/pytest.ini" --rootdir "$top" -p no:cacheprovider "${args[@]}"); }

[ "$preset" = asan ] || { run; exit; }
reports=$top/build/asan-reports
rm -rf "$reports"
mkdir -p "$reports"
status=0
(
    export LD_PRELOAD
    LD_PRELOAD=$(g++ -print-file-name=libasan.so)
    export PYTHONMALLOC=malloc
    export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:log_path=$reports/asan"
    export LSAN_OPTIONS="exitcode=0"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
    run
) || status=$?
"$PY" tools/sanitizer_reports.py "$reports" || status=1
exit $status
