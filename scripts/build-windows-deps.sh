#!/usr/bin/env bash
# Builds the libraries the Windows programs need that Debian ships for Linux only, from
# Debian's own source packages with the MinGW-w64 cross compiler: FFmpeg's libavformat,
# libavcodec and libavutil (static, only the Matroska and MP4 muxers and the AAC encoder),
# OpenSSL's libcrypto (static, for --hash), and for the window wxWidgets 3.2 (MSW, static) and
# tinyxml2 (static). Everything lives in a cache
# outside the checkout and is built once: a later run with the same sources, options and
# compiler only prints the prefixes.
#
#   scripts/build-windows-deps.sh [--no-gui]   prints the prefixes to build against, one a line:
#                                              FFmpeg's, OpenSSL's, then (without --no-gui) the
#                                              window's
#   TORVANE_WINDOWS_DEPS=DIR             the cache (default ~/.cache/torvane/windows-deps)
#   TORVANE_JOBS=N                       parallel compile jobs (default: all processors)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${TORVANE_WINDOWS_DEPS:-${XDG_CACHE_HOME:-$HOME/.cache}/torvane/windows-deps}
jobs=${TORVANE_JOBS:-$(nproc 2>/dev/null || echo 2)}
host=x86_64-w64-mingw32
prefix=$cache/prefix
ffmpeg_prefix=$cache/ffmpeg
openssl_prefix=$cache/openssl
gui=1
[ "${1:-}" != --no-gui ] || gui=0
mkdir -p "$cache"
# One build at a time per cache; a second caller waits and then finds it done.
exec 9>"$cache/lock"
flock 9

# Only what the window uses: the base and core libraries, no image formats, HTML, XML or
# networking (and none of the bundled libraries Debian's source leaves out).
wx_options=(--with-msw --disable-shared --enable-unicode --with-regex=builtin
  --without-libpng --without-libjpeg --without-libtiff --without-expat --with-zlib=no
  --without-opengl --disable-svg --disable-sockets --disable-protocols --disable-url
  --disable-fs_inet --disable-webrequest --disable-xrc --disable-html --disable-webview
  --disable-mediactrl --disable-stc --disable-aui --disable-propgrid --disable-ribbon
  --disable-richtext --disable-sound --disable-help --disable-mshtmlhelp --disable-htmlhelp
  --disable-compat30 --disable-debug_info --disable-precomp-headers)

# Debian's source packages through apt, with a source list of our own (the system's may
# list binary packages only) and no root needed.
apt_dir=$cache/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
echo "deb-src http://deb.debian.org/debian $suite main" >"$apt_dir/sources.list"
apt_options=(-o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir" -o Debug::NoLocking=1
  -o APT::Sandbox::User=root -q)
source_version() {
  { apt-cache "${apt_options[@]}" showsrc "$1" 2>/dev/null || true; } |
    sed -n 's/^Version: //p' | head -n 1
}
wx_version=$(source_version wxwidgets3.2)
xml_version=$(source_version tinyxml2)
ffmpeg_version=$(source_version ffmpeg)
openssl_version=$(source_version openssl)
if [ -z "$wx_version" ] || [ -z "$xml_version" ] || [ -z "$ffmpeg_version" ] ||
  [ -z "$openssl_version" ]; then
  apt-get "${apt_options[@]}" update >&2
  wx_version=$(source_version wxwidgets3.2)
  xml_version=$(source_version tinyxml2)
  ffmpeg_version=$(source_version ffmpeg)
  openssl_version=$(source_version openssl)
fi
[ -n "$wx_version" ] && [ -n "$xml_version" ] && [ -n "$ffmpeg_version" ] &&
  [ -n "$openssl_version" ] || {
  echo "build-windows-deps: Debian's source packages are not reachable" >&2
  exit 1
}
compiler=$($host-g++-posix -dumpversion)

# library NAME PREFIX STAMP PACKAGE=VERSION: unless PREFIX holds a build with this stamp,
# unpacks the source package into $work/src and runs `build_NAME` in it (output to
# $work/build.log); prints PREFIX.
library() {
  local name=$1 into=$2 stamp=$3 source=$4
  work=$cache/src-$name
  if [ ! -f "$into/.built" ] || [ "$(cat "$into/.built")" != "$stamp" ]; then
    echo "== Building ${source%%=*} ${source#*=} for Windows in $cache ==" >&2
    rm -rf "$into" "$work"
    mkdir -p "$work"
    (cd "$work" && apt-get "${apt_options[@]}" source --download-only "$source" >&2 &&
      dpkg-source -x --no-check ./"${source%%=*}"_*.dsc src >/dev/null) || {
      echo "build-windows-deps: the source of ${source%%=*} could not be had" >&2
      exit 1
    }
    (cd "$work/src" && "build_$name" "$into") >"$work/build.log" 2>&1 || {
      echo "build-windows-deps: ${source%%=*} failed; see $work/build.log" >&2
      exit 1
    }
    rm -rf "$work"
    echo "$stamp" >"$into/.built"
  fi
  echo "$into"
}

# FFmpeg: what the muxer uses and nothing else (no programs, devices, filters or networking,
# and none of the system libraries it would find by itself).
ffmpeg_options=(--enable-cross-compile --cross-prefix=$host- --cc=$host-gcc-posix
  --cxx=$host-g++-posix --arch=x86_64 --target-os=mingw32 --pkg-config=false --enable-static
  --disable-shared --disable-programs --disable-doc --disable-debug --disable-everything
  --enable-muxer=matroska,mp4 --enable-encoder=aac --disable-network --disable-autodetect
  --disable-avdevice --disable-swscale --disable-postproc --disable-avfilter --disable-swresample)
build_ffmpeg() {
  ./configure --prefix="$1" "${ffmpeg_options[@]}" && nice -n 5 make -j"$jobs" && make install
}
library ffmpeg "$ffmpeg_prefix" "ffmpeg=$ffmpeg_version compiler=$compiler options=${ffmpeg_options[*]}" \
  "ffmpeg=$ffmpeg_version"

# OpenSSL: libcrypto and its headers only, no engines or legacy algorithms.
openssl_options=(mingw64 --cross-compile-prefix=$host- no-shared no-tests no-module no-legacy)
build_openssl() {
  ./Configure "${openssl_options[@]}" --prefix="$1" --libdir=lib &&
    nice -n 5 make -j"$jobs" build_libs && make install_dev
}
library openssl "$openssl_prefix" \
  "openssl=$openssl_version compiler=$compiler options=${openssl_options[*]}" \
  "openssl=$openssl_version"
[ "$gui" = 1 ] || exit 0

stamp="wxwidgets3.2=$wx_version tinyxml2=$xml_version compiler=$compiler
options=${wx_options[*]}"
if [ -f "$prefix/.built" ] && [ "$(cat "$prefix/.built")" = "$stamp" ]; then
  echo "$prefix"
  exit 0
fi

echo "== Building wxWidgets $wx_version and tinyxml2 $xml_version for Windows in $cache ==" >&2
rm -rf "$prefix" "$cache/src" "$cache/build"
mkdir -p "$cache/src" "$cache/build"
(cd "$cache/src" &&
  apt-get "${apt_options[@]}" source --download-only "wxwidgets3.2=$wx_version" \
    "tinyxml2=$xml_version" >&2 &&
  dpkg-source -x --no-check ./wxwidgets3.2_*.dsc wx >/dev/null &&
  dpkg-source -x --no-check ./tinyxml2_*.dsc tinyxml2 >/dev/null)

mkdir -p "$cache/build/wx"
(cd "$cache/build/wx" &&
  "$cache/src/wx/configure" --host=$host --build="$(gcc -dumpmachine)" \
    CC=$host-gcc-posix CXX=$host-g++-posix --prefix="$prefix" "${wx_options[@]}" >configure.log 2>&1 &&
  nice -n 5 make -j"$jobs" >make.log 2>&1 && make install >install.log) || {
  echo "build-windows-deps: wxWidgets failed; see $cache/build/wx/*.log" >&2
  exit 1
}

cmake -S "$cache/src/tinyxml2" -B "$cache/build/tinyxml2" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF -Dtinyxml2_BUILD_TESTING=OFF \
  -DBUILD_TESTING=OFF >"$cache/build/tinyxml2.log"
cmake --build "$cache/build/tinyxml2" -j "$jobs" >>"$cache/build/tinyxml2.log"
cmake --install "$cache/build/tinyxml2" >>"$cache/build/tinyxml2.log"

# The sources and objects are not needed once installed.
rm -rf "$cache/src" "$cache/build"
echo "$stamp" >"$prefix/.built"
echo "$prefix"
