#!/usr/bin/env bash
# Installs everything Torvane needs to build, test and benchmark, from Debian's packages.
# Idempotent and non-interactive; works as root or through sudo.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-dev llvm clang-format
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libtinyxml2-dev
  libwxgtk3.2-dev
  ffmpeg xvfb xauth x11-apps imagemagick fonts-wqy-zenhei
  gstreamer1.0-plugins-base-apps gstreamer1.0-plugins-good gstreamer1.0-libav
  nlohmann-json3-dev
  libavformat-dev libavcodec-dev libavutil-dev
  python3 python3-jsonschema time strace
  help2man dpkg-dev fakeroot lintian man-db
  libssl-dev
  g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 wine zip nsis xdotool icoutils nasm
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then SUDO=(); else SUDO=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
echo "install-deps: installing ${missing[*]}"
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
