#!/bin/bash
# Installs everything the build and the tests need on Debian 12 and makes the
# ru_RU.UTF-8 locale. Safe to run again; never asks anything.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  nettle-dev libgcrypt20-dev libgnutls28-dev libtasn1-6-dev libtasn1-bin
  libcurl4-openssl-dev libboost-dev libboost-thread-dev
  libxml2-dev libxml2-utils libutfcpp-dev
  openssl libengine-gost-openssl
  locales python3 python3-asn1crypto clang libclang-rt-14-dev clang-format
  binutils util-linux
  python3-pyqt5.qtwebkit xvfb xauth dpkg-dev file
)

if [ "$(id -u)" -ne 0 ]; then
  exec sudo -E bash "$0" "$@"
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${PACKAGES[@]}"

# The text conversions work in ru_RU.UTF-8.
if ! locale -a 2>/dev/null | grep -qix 'ru_RU.utf8'; then
  if [ -f /etc/locale.gen ] && command -v locale-gen >/dev/null; then
    sed -i 's/^# *\(ru_RU.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^ru_RU.UTF-8 UTF-8' /etc/locale.gen ||
      echo 'ru_RU.UTF-8 UTF-8' >>/etc/locale.gen
    locale-gen
  else
    localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
  fi
fi
echo "install-deps: done"
