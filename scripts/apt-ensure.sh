#!/usr/bin/env bash
# Installs the named Debian packages that are not installed yet (apt-get,
# through sudo when not root); does nothing when all are present.
#
# Usage: scripts/apt-ensure.sh PACKAGE ...
set -euo pipefail
need=()
for pkg in "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
((${#need[@]})) || exit 0
echo "installing ${need[*]}" >&2
SUDO=""
[[ $(id -u) -eq 0 ]] || SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
