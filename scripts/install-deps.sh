#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
packages=(
  build-essential cmake ninja-build pkg-config
  googletest libgtest-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-i686-posix mingw-w64-tools
  wine wine32:i386 wine64
  iproute2 iputils-ping procps
  libssl-dev openssl
  libsystemd-dev lintian file lld
)
missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
