#!/usr/bin/env bash
# Installs every Debian package needed to build, test and run the project.
# Safe to run again: apt-get skips what is already installed.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git
  qtbase5-dev
  libsqlite3-dev libcurl4-openssl-dev libapt-pkg-dev libssl-dev zlib1g-dev
  libgtest-dev googletest
  openssl
  clang libclang-rt-dev
  sshpass pv zstd lz4 openssh-client openssh-server zfs-fuse
  util-linux procps psmisc iproute2 fuse python3 tzdata
  sudo ntpsec-ntpdate util-linux-extra dpkg-dev
  systemd systemd-container debootstrap lintian
)

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi

export DEBIAN_FRONTEND=noninteractive
missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  # Package daemons (sshd, zfs-fuse) must not be started by the installer:
  # the test bench starts its own copies inside private namespaces.
  policy=/usr/sbin/policy-rc.d
  created_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    created_policy=1
  fi
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
  if [ "$created_policy" = 1 ]; then
    $SUDO rm -f "$policy"
  fi
fi
