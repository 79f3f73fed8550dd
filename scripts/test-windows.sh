#!/usr/bin/env bash
# Cross-builds the Windows programs and tests (scripts/build-windows.sh --tests) and runs them
# under Wine in a fresh Wine prefix: the unit tests and the programs' tests that make sense there
# (the *Linux suites are left out of that build), then the converter
# against the Linux build's output, byte for byte: the bundled sample, a recording and folders
# with Chinese names, Matroska and MP4 outputs, a recording past 2 GiB (OpenDML, 64-bit offsets)
# and Ctrl-C during its conversion. Also tvvoice.dll's exports and a C program that loads it, and
# the installer: a silent install, the installed converter, a silent uninstall.
#
#   scripts/test-windows.sh                  everything
#   TORVANE_QUICK=1 scripts/test-windows.sh  without the recording past 2 GiB and Ctrl-C
#   TORVANE_LINUX_BUILD=DIR                  the Linux build to compare with (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# Absolute: the checks below run in a folder of their own.
windows=$(realpath -m "${TORVANE_WINDOWS_BUILD:-$root/build-windows}")
linux=$(realpath -m "${TORVANE_LINUX_BUILD:-$root/build}")
jobs=${TORVANE_JOBS:-$(nproc 2>/dev/null || echo 2)}
start=$(date +%s)

TORVANE_WINDOWS_BUILD=$windows TORVANE_JOBS=$jobs bash "$root/scripts/build-windows.sh" --tests

echo "== The Linux programs to compare with =="
if [ ! -f "$linux/build.ninja" ]; then
  cmake -S "$root" -B "$linux" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTORVANE_WERROR=ON >/dev/null
fi
cmake --build "$linux" -j "$jobs" --target torvane-convert torvane-mkifv >/dev/null

work=$(mktemp -d /tmp/torvane-windows-XXXXXX)
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
echo "== Wine prefix =="
wineboot -i >/dev/null 2>&1
convert=$windows/bin/torvane-convert.exe

fail() {
  echo "test-windows: FAILED: $*" >&2
  exit 1
}

echo "== Unit tests and the programs' tests under Wine =="
mkdir -p "$work/unit"
# Paths inside the tests are Windows paths; Wine's Z: drive is the root.
for suite in test_windows test_windows_cli test_windows_gui; do
  [ -f "$windows/bin/$suite.exe" ] || continue  # the window's part is built with the window
  TORVANE_TEST_WORK="Z:${work//\//\\}\\unit" TORVANE_SOURCE="Z:${root//\//\\}" \
    TORVANE_BIN="Z:${windows//\//\\}\\bin" \
    wine "$windows/bin/$suite.exe" --gtest_brief=1 || fail "$suite"
done

echo "== tvvoice.dll: exactly the seven TV_VOICE_* exports, loaded by a C program =="
exports=$(x86_64-w64-mingw32-objdump -p "$windows/bin/tvvoice.dll" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\t\[ *[0-9]*\] //p' | LC_ALL=C sort | tr '\n' ' ')
[ "$exports" = "TV_VOICE_DecReset TV_VOICE_DecodeFrame TV_VOICE_EncReset TV_VOICE_EncodeFrame \
TV_VOICE_GetVersion TV_VOICE_TransCodeFrame TV_VOICE_TransCodeReset " ] ||
  fail "tvvoice.dll exports: $exports"
wine "$windows/bin/test_voice_dll.exe" || fail "the C program on tvvoice.dll"

echo "== Version information of every program and the DLL; the programs' manifests =="
version=$(sed -n 's/^project(torvane VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
# The version resource's strings, UTF-16 in the file.
version_text() {
  wrestool -x --raw --type=16 "$1" | iconv -f UTF-16LE -t UTF-8 2>/dev/null | tr -c '[:print:]' ' '
}
# How many of the manifest's settings for long paths, UTF-8 and (the window's) DPI it has.
manifest_settings() {
  wrestool -x --raw --type=24 "$1" | grep -c '>UTF-8</activeCodePage>\|>true</longPathAware>\|PerMonitorV2'
}
for file in torvane-convert.exe torvane-mkifv.exe tvvoice.dll $(cd "$windows/bin" && ls torvane.exe 2>/dev/null); do
  version_text "$windows/bin/$file" | grep -q "OriginalFilename *$file .*ProductVersion *$version" ||
    fail "$file has no version information of $version"
done
for file in torvane-convert.exe torvane-mkifv.exe; do
  [ "$(manifest_settings "$windows/bin/$file")" -ge 2 ] ||
    fail "$file's manifest lacks the UTF-8 code page or long paths"
done

echo "== The sample: byte for byte as on Linux =="
cd "$work"
"$linux/bin/torvane-convert" -q "$root/data/samples/sample.ifv" linux.avi
wine "$convert" -q "$root/data/samples/sample.ifv" windows.avi || fail "the sample did not convert"
cmp linux.avi windows.avi || fail "the sample's AVI differs from Linux's"

echo "== Chinese names: 录像/样本.ifv with -o 输出 =="
mkdir 录像
cp "$root/data/samples/sample.ifv" 录像/样本.ifv
wine "$convert" -q -o 输出 录像/样本.ifv || fail "录像/样本.ifv did not convert"
[ -f 输出/样本.avi ] || fail "no 输出/样本.avi: $(find . -path ./wineprefix -prune -o -print)"
cmp linux.avi 输出/样本.avi || fail "输出/样本.avi differs from Linux's output"
wine "$convert" --info --json 录像/样本.ifv | grep -q '"path": "录像/样本.ifv"' ||
  fail "--info --json does not name 录像/样本.ifv"

echo "== The installer: silent install, the installed converter, silent uninstall =="
setup=$root/dist/torvane-$version-setup.exe
installed=$WINEPREFIX/drive_c/torvane-test
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Torvane"
wine "$setup" /S '/D=C:\torvane-test' 2>/dev/null || fail "the installer failed"
for f in torvane-convert.exe torvane-mkifv.exe tvvoice.dll Language.ini LICENSE.txt Uninstall.exe; do
  [ -f "$installed/$f" ] || fail "the installer left out $f"
done
[ -f "$menu/Torvane command prompt.lnk" ] || fail "no Start-menu entry"
if [ -f "$windows/bin/torvane.exe" ]; then
  [ -f "$installed/torvane.exe" ] && [ -f "$menu/Torvane.lnk" ] || fail "the installer left out the window"
fi
wine 'C:\torvane-test\torvane-convert.exe' -q "$root/data/samples/sample.ifv" installed.avi ||
  fail "the installed converter failed"
cmp linux.avi installed.avi || fail "the installed converter's AVI differs from Linux's"
# The uninstaller runs from a copy of itself in the temporary folder, so it returns at once.
wine 'C:\torvane-test\Uninstall.exe' /S || fail "the uninstaller failed"
for _ in $(seq 1 60); do
  [ -e "$installed" ] || [ -e "$menu" ] || break
  sleep 0.5
done
[ ! -e "$installed" ] || fail "left after uninstalling: $(ls -A "$installed")"
[ ! -e "$menu" ] || fail "the Start-menu folder is left after uninstalling"

if [ -f "$windows/bin/torvane.exe" ]; then
  echo "== The window under Wine and Xvfb: converts the sample, settings in %APPDATA% =="
  # Its resources: our icon first (Explorer shows the first), the manifest for a window.
  exe=$windows/bin/torvane.exe
  [ "$(wrestool -l --type=14 "$exe" | head -n 1 | grep -o "name='[^']*'")" = "name='AAAA'" ] ||
    fail "torvane.exe's first icon is not the program's"
  [ "$(manifest_settings "$exe")" = 3 ] ||
    fail "torvane.exe's manifest lacks the UTF-8 code page, long paths or per-monitor DPI"
  display=
  for n in $(seq 90 120); do
    [ -e "/tmp/.X$n-lock" ] || { display=:$n; break; }
  done
  Xvfb "$display" -screen 0 1024x700x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  trap 'kill $xvfb 2>/dev/null || true; wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
  export DISPLAY=$display
  # Wine's desktop process, started without a display by the checks above, would keep windows
  # from showing: a new Wine session starts on this display.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  mkdir -p app clips
  cp "$windows/bin/torvane.exe" "$windows/bin/Language.ini" app/
  cp "$root/data/samples/sample.ifv" clips/
  # The user's settings (English) in the profile: an installed copy reads and writes them there.
  appdata=$(wine cmd /c echo %APPDATA% 2>/dev/null | tr -d '\r')
  settings=$(winepath -u "$appdata\\Torvane\\Collocate.dat" 2>/dev/null)
  mkdir -p "$(dirname "$settings")"
  echo '<XML><CollocateXML><Collocate Language="1"/></CollocateXML></XML>' >"$settings"
  # The recording on the command line is chosen and its output proposed beside it; Enter in the
  # recording's field starts.
  wine app/torvane.exe "$(winepath -w clips/sample.ifv)" >/dev/null 2>&1 &
  window=$!
  main=
  for _ in $(seq 1 120); do
    main=$(xdotool search --onlyvisible --name '^Torvane$' 2>/dev/null | head -n 1) && [ -n "$main" ] && break
    sleep 0.5
  done
  [ -n "$main" ] || fail "the window did not show"
  sleep 1
  # Keys go to the windows themselves: there is no window manager to give them the focus.
  xdotool key --window "$main" Return 2>/dev/null
  # The end message is a second window of the program ("torvane": the search ignores case),
  # asking whether to open the folder; No is its default.
  message=
  for _ in $(seq 1 120); do
    message=$(xdotool search --onlyvisible --name '^torvane$' 2>/dev/null | grep -vx "$main" |
      head -n 1) && [ -n "$message" ] && break
    sleep 0.5
  done
  [ -n "$message" ] || fail "no message at the end of the conversion"
  sleep 0.5
  geometry=$(xwininfo -id "$main" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
    /Width:/ {w=$NF} /Height:/ {h=$NF} END {print w "x" h "+" x "+" y}')
  import -display "$display" -window root -crop "$geometry" +repage window.png
  cmp linux.avi clips/sample.avi || fail "the window's AVI differs from Linux's"
  xdotool key --window "$message" Return 2>/dev/null
  sleep 1
  xdotool key --window "$main" Escape 2>/dev/null
  for _ in $(seq 1 60); do
    kill -0 "$window" 2>/dev/null || break
    sleep 0.5
  done
  ! kill -0 "$window" 2>/dev/null || fail "the window did not close on Escape"
  [ ! -e app/Collocate.dat ] || fail "an installed window wrote its settings beside itself"
  grep -q 'Language="1"' "$settings" || fail "the settings in %APPDATA% were not kept: $(cat "$settings")"
  grep -q 'BrowsePath' "$settings" || fail "the window did not save its settings in %APPDATA%"
  [ -z "${TORVANE_SCREENSHOTS:-}" ] || cp window.png "$root/docs/screenshot-windows.png"
  kill $xvfb 2>/dev/null || true
fi

echo "== Matroska and MP4: Linux's packets (Matroska differs only in its random UID), MP4 byte for byte =="
for type in mkv mp4; do
  "$linux/bin/torvane-convert" -q "$root/data/samples/sample.ifv" linux.$type
  wine "$convert" -q "$root/data/samples/sample.ifv" windows.$type || fail "the sample did not convert to .$type"
  for side in linux windows; do
    ffprobe -v error -show_entries packet=stream_index,pts,dts,duration,size,flags -of csv \
      $side.$type >$side.$type.packets
  done
  cmp linux.$type.packets windows.$type.packets || fail "the .$type file's packets differ from Linux's"
  [ -z "$(ffmpeg -v error -i windows.$type -f null - 2>&1)" ] || fail "the .$type file does not decode cleanly"
done
cmp linux.mp4 windows.mp4 || fail "the MP4 differs from Linux's"

echo "== --hash: a checksum file that sha256sum accepts =="
mkdir hashed
cp "$root/data/samples/sample.ifv" hashed/
(cd hashed && wine "$convert" -q --hash sample.ifv sample.avi && sha256sum -c --quiet sample.avi.sha256) ||
  fail "--hash did not write checksums that hold"
cmp linux.avi hashed/sample.avi || fail "the AVI written with --hash differs from Linux's"

if [ "${TORVANE_QUICK:-0}" != "1" ]; then
  echo "== A recording past 2 GiB: byte for byte as on Linux =="
  # Noise keeps H.264 from compressing: about 14 MB a second, repeated to 170 seconds.
  ffmpeg -v error -y -f lavfi -i "testsrc2=size=640x480:rate=25,noise=alls=60:allf=t" -t 4 \
    -c:v libx264 -preset ultrafast -qp 0 -g 25 -bf 0 -pix_fmt yuv420p -f h264 big.h264
  ffmpeg -v error -y -f lavfi -i "sine=frequency=300:sample_rate=8000:duration=4" -ac 1 \
    -c:a pcm_s16le big.wav
  "$linux/bin/torvane-mkifv" --video big.h264 --audio big.wav --duration 170 big.ifv >/dev/null
  rm -f big.h264 big.wav
  [ "$(stat -c %s big.ifv)" -gt $((2 << 30)) ] || fail "the large recording is not past 2 GiB"
  "$linux/bin/torvane-convert" -q big.ifv big-linux.avi
  wine "$convert" -q big.ifv big-windows.avi || fail "the large recording did not convert"
  cmp big-linux.avi big-windows.avi || fail "the large AVI differs from Linux's"
  rm -f big-linux.avi big-windows.avi

  echo "== Ctrl-C (a console control event) leaves a .part that plays =="
  status=0
  wine "$convert" -q big.ifv interrupted.avi 2>/dev/null &
  waiting=$!
  # Interrupted once a few chunks are written: on a fast disk the whole file takes about 2 s.
  for _ in $(seq 1 1500); do
    [ "$(stat -c %s interrupted.avi.part 2>/dev/null || echo 0)" -lt $((16 << 20)) ] || break
    sleep 0.02
  done
  # Wine runs the program in the process it started and turns SIGINT into a console Ctrl-C.
  kill -INT "$waiting"
  wait "$waiting" || status=$?
  [ "$status" = 130 ] || fail "after Ctrl-C: exit status $status, not 130"
  [ ! -e interrupted.avi ] || fail "an interrupted conversion put its output in place"
  frames=$(ffprobe -v error -select_streams v -show_entries stream=nb_frames -of csv=p=0 \
    interrupted.avi.part)
  [ "${frames:-0}" -gt 0 ] || fail "the interrupted .part holds no frames ffprobe reads"
  rm -f big.ifv interrupted.avi.part
fi

echo "test-windows: all passed in $(($(date +%s) - start)) s"
