#!/usr/bin/env bash
# copy_package.sh DEST: a copy of the Python package under DEST/velmora_master, without
# any built module, for testing another build of the module from there.
set -euo pipefail
dest=$1
rm -rf "$dest"
mkdir -p "$dest"
cp -r "$(dirname "$0")/../velmora_master" "$dest/"
find "$dest" \( -name '*.so' -o -name '__pycache__' \) -prune -exec rm -rf {} +
