#!/usr/bin/env bash
# Installs the programs the trust-store and browser tests drive, when missing and
# the machine allows it (root with apt-get): certutil (libnss3-tools), node, and the
# headless browsers Chromium and Firefox ESR. Otherwise says so; those tests then
# skip with the reason.
set -uo pipefail

declare -A package=([certutil]=libnss3-tools [chromium]=chromium [firefox-esr]=firefox-esr [node]=nodejs)
missing=()
for tool in "${!package[@]}"; do command -v "$tool" >/dev/null || missing+=("${package[$tool]}"); done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
    echo "test_deps: ${missing[*]} missing and cannot be installed here (needs root and apt-get)" >&2
    exit 1
fi
echo "test_deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}" >&2 \
    || { apt-get -o DPkg::Lock::Timeout=300 update -qq >&2 \
         && apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}" >&2; }
