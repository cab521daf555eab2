#!/usr/bin/env bash
# Runs the whole test suite against a build of the module instrumented with
# AddressSanitizer and UndefinedBehaviorSanitizer (preset `asan`).
#
# The instrumented module goes into a copy of the package under build/asan-site,
# and the tests import it from there. The sanitizer runtime is preloaded into the
# interpreter, and PYTHONMALLOC=malloc sends every object allocation through it.
# Every process the tests start inherits the set-up and writes its reports to
# build/asan-reports; tools/sanitizer_reports.py then fails the run on any
# memory or undefined-behaviour error, and on any leak whose allocation stack
# shows our module (what the interpreter itself never frees at exit is not ours).
# Objects leaked by a missing decref are the reference-leak test's to find
# (tests/test_refcounts.py): the interpreter is built without frame pointers, so
# their allocation stacks end inside it.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
PY=$(bash tools/setup.sh)
site=$(bash tools/build.sh asan "$PY")
reports=$top/build/asan-reports
rm -rf "$reports"
mkdir -p "$reports"

export LD_PRELOAD
LD_PRELOAD=$(g++ -print-file-name=libasan.so)
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:log_path=$reports/asan"
export LSAN_OPTIONS="exitcode=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"

status=0
bash tools/run_suite.sh "$site" "$PY" "$@" || status=$?
unset LD_PRELOAD
"$PY" tools/sanitizer_reports.py "$reports" || status=1
exit $status
