#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Usage: scripts/deps.sh [GROUP...]   groups: build, test, cross, web (default: all)
set -euo pipefail
groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(build test cross web)
pkgs=()
for g in "${groups[@]}"; do
  case "$g" in
    build) pkgs+=(g++ cmake make libgtest-dev googletest libsodium-dev) ;;
    test)  pkgs+=(srecord minisign ansible-core ansible-lint openssh-server openssh-client dropbear-bin
                 busybox-static systemd) ;;
    # The controller's libsodium comes from Debian's armel architecture
    # (multiarch), added below when it is missing.
    cross) pkgs+=(g++-arm-linux-gnueabi qemu-user-static libsodium-dev:armel) ;;
    web)   pkgs+=(lighttpd chromium)
           # node and npm may come from outside Debian's packages (npm is then
           # part of nodejs and Debian's npm package conflicts with it).
           command -v node >/dev/null || pkgs+=(nodejs)
           command -v npm >/dev/null || pkgs+=(npm) ;;
  esac
done
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages: ${missing[*]} (run as root, or install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if [[ " ${missing[*]} " == *":armel "* ]] && ! dpkg --print-foreign-architectures | grep -qx armel; then
  dpkg --add-architecture armel
fi
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
