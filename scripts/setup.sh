#!/bin/bash
# Installs what the builds and tests need on Debian 12, where it is missing.
# Works as root or, for a normal user, through sudo.
set -eu

SUDO=
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi

packages=(
  g++ cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libsoxr-dev dpkg-dev xz-utils
  clang libclang-rt-14-dev
  g++-mingw-w64-i686 wine wine32:i386 fonts-wine
  g++-mingw-w64-x86-64 wine64
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

# The resampling library of the Windows build: built once from Debian's source package for
# i686 mingw (static, SSE2) into the build tree, where configure_windows finds it. Apt runs
# with a private sources list, lists and cache, so that /etc/apt stays as it is.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
soxr_dir=$BUILD/third-party/soxr
soxr_prefix=$SOXR_WINDOWS_PREFIX
soxr_flags="-O2 -msse2 -mfpmath=sse"
soxr_stamp="$soxr_prefix/built-with"
if [ ! -f "$soxr_stamp" ] || [ "$(cat "$soxr_stamp")" != "$soxr_flags" ]; then
  started=$SECONDS
  mkdir -p "$soxr_dir/apt/lists/partial" "$soxr_dir/apt/cache/archives/partial" \
    "$soxr_dir/apt/parts" "$soxr_dir/source"
  if ! ls "$soxr_dir"/source/libsoxr_*.dsc >/dev/null 2>&1; then
    # The archive this machine installs from, as its deb entry names it.
    archive=$(sed -nE 's/^URIs:[[:space:]]*([^[:space:]]+).*/\1/p' /etc/apt/sources.list.d/*.sources \
      2>/dev/null | grep -v security | head -n 1)
    [ -n "$archive" ] || archive=$(sed -nE 's/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+).*/\2/p' \
      /etc/apt/sources.list 2>/dev/null | grep -v security | head -n 1)
    [ -n "$archive" ] || archive=http://deb.debian.org/debian
    suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $archive $suite main" \
      >"$soxr_dir/apt/sources.list"
    apt_private=(-o Dir::Etc::SourceList="$soxr_dir/apt/sources.list"
      -o Dir::Etc::SourceParts="$soxr_dir/apt/parts" -o Dir::State::Lists="$soxr_dir/apt/lists"
      -o Dir::Cache="$soxr_dir/apt/cache" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
      -o APT::Sandbox::User="$(id -un)")
    echo "Fetching the source of libsoxr from $archive"
    apt-get "${apt_private[@]}" update -qq
    (cd "$soxr_dir/source" && apt-get "${apt_private[@]}" source --download-only -qq libsoxr >/dev/null)
    rm -rf "$soxr_dir/apt/lists"
  fi
  dsc=$(ls "$soxr_dir"/source/libsoxr_*.dsc | head -n 1)
  rm -rf "$soxr_dir/unpacked" "$soxr_dir/i686"
  # The archive's signed index already vouched for the files: the key of the .dsc's own
  # signature is not on the machine, so its warning goes to the log.
  dpkg-source -x "$dsc" "$soxr_dir/unpacked" >"$soxr_dir/build.log" 2>&1 ||
    { cat "$soxr_dir/build.log"; exit 1; }
  cmake -S "$soxr_dir/unpacked" -B "$soxr_dir/i686" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw32.cmake" -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_INSTALL_PREFIX="$soxr_prefix" -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTS=OFF \
    -DBUILD_EXAMPLES=OFF -DWITH_OPENMP=OFF -DWITH_LSR_BINDINGS=OFF \
    -DCMAKE_C_FLAGS="$soxr_flags" >>"$soxr_dir/build.log" 2>&1 ||
    { tail -n 30 "$soxr_dir/build.log"; exit 1; }
  cmake --build "$soxr_dir/i686" -j "$JOBS" >>"$soxr_dir/build.log" 2>&1 &&
    cmake --install "$soxr_dir/i686" >>"$soxr_dir/build.log" 2>&1 ||
    { tail -n 30 "$soxr_dir/build.log"; exit 1; }
  echo "$soxr_flags" >"$soxr_stamp"
  echo "Built libsoxr for the Windows build in $((SECONDS - started)) s"
fi
