#!/bin/bash
# Installs what the builds and tests need on Debian 12, where it is missing.
# Works as root or, for a normal user, through sudo.
set -eu

SUDO=
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi

packages=(
  g++ cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-i686 wine wine32:i386 fonts-wine
  xvfb x11-apps imagemagick gnuplot-nox
  dpf-plugins-vst lsp-plugins-vst
)

added_architecture=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  added_architecture=1
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -gt 0 ] || [ $added_architecture -eq 1 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
