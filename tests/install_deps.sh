#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, if missing.
set -euo pipefail
packages="cmake ninja-build g++ zlib1g-dev libgtest-dev binutils ${EXTRA_PACKAGES:-}"
missing=$(for p in $packages; do dpkg -s "$p" >/dev/null 2>&1 || echo "$p"; done)
[ -z "$missing" ] && exit 0
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing
