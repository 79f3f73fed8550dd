#!/usr/bin/env bash
# Builds the Debian package as a distribution would (Release, /usr, no tests) and checks it:
#   - lintian finds no error;
#   - installed into an empty root with dpkg (under fakeroot), the programs run, convert the
#     bundled sample and their man pages render;
#   - a C program builds against the installed library through pkg-config, and a CMake
#     project through find_package(Torvane);
#   - a second build from another folder installs byte-identical files (reproducible build).
#
#   scripts/check-package.sh [BUILD_DIR]     (default build-pkg; the .deb is left there)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build-pkg}
jobs=$(nproc 2>/dev/null || echo 2)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Man pages carry a date: the last commit's, as a distribution sets it for its builds.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 1765238400)}
export SOURCE_DATE_EPOCH

configure_and_build() {  # SOURCE BUILD
  cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DTORVANE_BUILD_TESTS=OFF -DTORVANE_BUILD_BENCH=OFF -DTORVANE_WERROR=ON >/dev/null
  cmake --build "$2" -j "$jobs"
}

configure_and_build "$root" "$build"
(cd "$build" && rm -f ./*.deb && cpack -G DEB >/dev/null)
deb=$(realpath "$build"/torvane_*.deb)
echo "package: $deb"
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'

echo "== lintian =="
# Running as root only draws a notice.
lintian --fail-on error "$deb" 2>&1 | grep -v 'running with root privileges' || true
lintian --fail-on error "$deb" >/dev/null 2>&1 || { echo "lintian found errors" >&2; exit 1; }

echo "== installed into an empty root =="
inst=$work/root
mkdir -p "$inst/var/lib/dpkg/info" "$inst/var/lib/dpkg/updates"
touch "$inst/var/lib/dpkg/status"
# The empty root has none of the dependencies and no shell for the scripts: the files are
# what is checked here (apt's simulation below checks the dependencies).
fakeroot dpkg --root="$inst" --force-depends --force-not-root --force-script-chrootless \
  --no-triggers -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; exit 1; }
apt-get -s install "$deb" >/dev/null
libdir=$(dirname "$(find "$inst/usr/lib" -name 'libtorvane.so.*' -type f | head -1)")
export LD_LIBRARY_PATH=$libdir
"$inst/usr/bin/torvane-convert" --version
"$inst/usr/bin/torvane-mkifv" --version
"$inst/usr/bin/torvane-convert" -q data/samples/sample.ifv "$work/sample.avi"
cmp <(head -c 4 "$work/sample.avi") <(printf RIFF)
for page in torvane-convert torvane-mkifv torvane; do
  MANWIDTH=80 man -l "$inst/usr/share/man/man1/$page.1.gz" 2>&1 | grep -q "^NAME" ||
    { echo "man page of $page does not render" >&2; exit 1; }
done
echo "man pages render"

echo "== the library for other programs =="
cat >"$work/use.c" <<'EOF'
#include <torvane/voice.h>
#include <stdio.h>
int main(void) {
    VoiceCodecState state;
    printf("%d\n", TV_VOICE_DecReset(&state, VOICE_MODE_ADPCM_FIRST));
    return 0;
}
EOF
# shellcheck disable=SC2046
cc -o "$work/use" "$work/use.c" $(PKG_CONFIG_SYSROOT_DIR=$inst \
  PKG_CONFIG_LIBDIR=$libdir/pkgconfig pkg-config --cflags --libs torvane)
"$work/use" >/dev/null
mkdir -p "$work/cmake-use"
cp "$work/use.c" "$work/cmake-use/"
cat >"$work/cmake-use/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(use C)
find_package(Torvane 1 REQUIRED)
add_executable(use use.c)
target_link_libraries(use PRIVATE Torvane::torvane)
EOF
cmake -S "$work/cmake-use" -B "$work/cmake-use/build" -G Ninja -DCMAKE_PREFIX_PATH="$inst/usr" \
  >/dev/null
cmake --build "$work/cmake-use/build" >/dev/null
"$work/cmake-use/build/use" >/dev/null
echo "pkg-config and find_package(Torvane) work"

echo "== reproducible: a second build from another folder =="
other=$work/elsewhere/torvane-source
mkdir -p "$other"
git ls-files -z | xargs -0 cp --parents -t "$other"
configure_and_build "$other" "$work/elsewhere/b" >/dev/null
DESTDIR=$work/a cmake --install "$build" >/dev/null
DESTDIR=$work/b cmake --install "$work/elsewhere/b" >/dev/null
if ! diff -r "$work/a" "$work/b"; then
  echo "the two builds differ" >&2
  exit 1
fi
echo "identical installed files from $root and $other"
