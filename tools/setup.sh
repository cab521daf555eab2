#!/usr/bin/env bash
# Makes sure the build tools are installed and a CPython 3.14 is provisioned;
# prints the interpreter's path. Everything else goes to standard error.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for tool in cmake ninja g++ node nm patchelf; do command -v "$tool" >/dev/null || missing+=("$tool"); done
if [ ${#missing[@]} -gt 0 ]; then
    declare -A package=([cmake]=cmake [ninja]=ninja-build [g++]=g++ [node]=nodejs [nm]=binutils [patchelf]=patchelf)
    echo "setup: installing ${missing[*]}" >&2
    apt-get update -qq >&2
    apt-get install -y -qq $(for t in "${missing[@]}"; do echo "${package[$t]}"; done) >&2
fi

bash tools/provision_python.sh
