#!/usr/bin/env bash
# Builds the wheel and tags it with the manylinux policy it meets:
#
#   bash tools/wheel.sh [OUTDIR]      (default: dist)
#
# scikit-build-core tags what it builds for this machine only (linux_x86_64).
# auditwheel checks which glibc and libstdc++ symbol versions the module needs,
# copies in any library a target system might lack (none: the module needs only
# libc, libstdc++ and libgcc_s) and retags the wheel with the oldest policy they
# allow, so pip on other distributions of that age or newer accepts it.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=$(bash tools/setup.sh)
out=$(realpath -m "${1:-dist}")
raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
"$PY" -m build --wheel --no-isolation --outdir "$raw" . >&2
"$PY" -m auditwheel repair --wheel-dir "$raw/repaired" "$raw"/*.whl >&2
mkdir -p "$out"
for wheel in "$raw"/repaired/*.whl; do
    mv -f "$wheel" "$out/"
    echo "$out/$(basename "$wheel")"
done
