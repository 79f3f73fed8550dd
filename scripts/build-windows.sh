#!/usr/bin/env bash
# Cross-builds Torvane for 64-bit Windows on Debian with MinGW-w64 into build-windows/
# (programs in build-windows/bin/) and packs a portable zip and an installer into dist/.
#   scripts/build-windows.sh [--no-gui] [--tests]
# --no-gui: the command-line programs only; otherwise the window too, with wxWidgets and
# tinyxml2 built once from Debian's sources (scripts/build-windows-deps.sh, cached outside the
# checkout). --tests: the unit tests that run under Wine as well.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TORVANE_WINDOWS_BUILD:-$root/build-windows}
tests=OFF
gui=ON
for arg in "$@"; do
  case "$arg" in
    --no-gui) gui=OFF ;;
    --tests) tests=ON ;;
    *) echo "usage: $0 [--no-gui] [--tests]" >&2; exit 2 ;;
  esac
done

bash "$root/scripts/install-deps.sh" >&2
# FFmpeg's libraries (Matroska and MP4), OpenSSL's libcrypto (--hash) and, for the window,
# wxWidgets and tinyxml2.
deps=()
[ "$gui" = ON ] || deps=(--no-gui)
built=$(bash "$root/scripts/build-windows-deps.sh" "${deps[@]}")
mapfile -t prefixes <<<"$built"
gui_options=(-DTORVANE_BUILD_GUI=OFF)
if [ "$gui" = ON ]; then
  gui_options=(-DTORVANE_BUILD_GUI=ON -DwxWidgets_CONFIG_EXECUTABLE="${prefixes[2]}/bin/wx-config")
fi
export PKG_CONFIG_LIBDIR=${prefixes[0]}/lib/pkgconfig PKG_CONFIG_PATH=
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release "${gui_options[@]}" -DTORVANE_BUILD_BENCH=OFF \
  -DTORVANE_WITH_LIBAV=ON -DTORVANE_WINDOWS_PREFIX="$(IFS=';'; echo "${prefixes[*]}")" \
  -DOPENSSL_ROOT_DIR="${prefixes[1]}" -DOPENSSL_USE_STATIC_LIBS=ON \
  -DTORVANE_BUILD_TESTS="$tests" -DTORVANE_WERROR=ON >&2
nice -n 5 cmake --build "$build" -j "${TORVANE_JOBS:-1}" >&2

# The portable zip: the programs (their runtime linked in), the voice codec's DLL, the language
# file and the licence.
version=$(sed -n 's/^project(torvane VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
name=torvane-$version-windows-x86_64
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/$name" "$root/dist"
cp "$build/bin/torvane-convert.exe" "$build/bin/torvane-mkifv.exe" "$build/bin/tvvoice.dll" \
  "$root/data/Language.ini" "$stage/$name/"
cp "$root/LICENSE" "$stage/$name/LICENSE.txt"
window=()
if [ "$gui" = ON ]; then
  cp "$build/bin/torvane.exe" "$stage/$name/"
  window=(-DWINDOW)
  # Unpacked from the zip, the window keeps its settings beside itself (the installed one, in
  # the user's profile: the installer leaves this marker out).
  : >"$stage/$name/portable"
fi
# Fixed times and order: the same build gives the same zip.
find "$stage/$name" -exec touch -d @"$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 0)" {} +
rm -f "$root/dist/$name.zip"
(cd "$stage" && find "$name" -type f | LC_ALL=C sort | zip -q -X -D "$root/dist/$name.zip" -@)

# The installer (NSIS): the same files, a Start-menu folder and an uninstaller.
setup=torvane-$version-setup.exe
rm -f "$root/dist/$setup"
makensis -V2 "${window[@]}" -DVERSION="$version" -DSTAGE="$stage/$name" -DOUTFILE="$root/dist/$setup" \
  "$root/packaging/windows/torvane.nsi" >&2
echo "built ${window:+$build/bin/torvane.exe, }$build/bin/torvane-convert.exe, $build/bin/torvane-mkifv.exe, $build/bin/tvvoice.dll," \
  "dist/$name.zip and dist/$setup"
