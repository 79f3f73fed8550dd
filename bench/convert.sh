#!/usr/bin/env bash
# Times torvane-convert against the physical limit (a plain copy of the recording through user
# space, `cat IN > OUT`), against `cp`, and against the tool a user would otherwise reach for
# (`ffmpeg -c copy` remuxing the AVI), in alternating runs on the same warm page cache.
#
#   bench/convert.sh [--size MiB] [--runs N] [--growth] [--parallel] [--keep]
#
# --growth   also times 128 MiB, 1 GiB and 3 GiB recordings (the last crosses the OpenDML threshold)
# --parallel also times -j 1 against -j 2 on four recordings
# Work files go to $TORVANE_BENCH_DIR (default build/bench-work); they are removed unless --keep.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size_mib=1024 runs=5 growth=0 parallel=0 keep=0
while [ $# -gt 0 ]; do
  case $1 in
    --size) size_mib=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --growth) growth=1; shift ;;
    --parallel) parallel=1; shift ;;
    --keep) keep=1; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done

bin=$root/build/bin
work=${TORVANE_BENCH_DIR:-$root/build/bench-work}
mkdir -p "$work"
[ $keep -eq 1 ] || trap 'rm -f "$work"/*.ifv "$work"/*.avi "$work"/*.copy' EXIT

if [ ! -x "$bin/torvane-convert" ] || [ ! -x "$bin/torvane-mkifv" ]; then
  cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/build" >/dev/null
fi

# 20 s of 720p H.264 at about 4 Mbit/s (realistic surveillance frame sizes) and speech-like audio.
src=$work/src.h264 wav=$work/src.wav
if [ ! -s "$src" ]; then
  ffmpeg -v error -y -f lavfi -i testsrc2=size=1280x720:rate=25 -t 20 -c:v libx264 -preset veryfast \
    -b:v 4M -maxrate 4M -bufsize 8M -g 50 -bf 0 -f h264 "$src"
fi
if [ ! -s "$wav" ]; then
  ffmpeg -v error -y -f lavfi -i "sine=frequency=300:sample_rate=8000:duration=20" \
    -af "volume=0.5,tremolo=f=4:d=0.7" -ac 1 -c:a pcm_s16le "$wav"
fi

# make_recording NAME MiB: a recording of about that size, repeating the 20 s source.
make_recording() {
  local name=$1 mib=$2
  local per_second
  per_second=$(python3 -c "import os;print((os.path.getsize('$src')/20.0)+25*168)")
  local seconds
  seconds=$(python3 -c "print(round($mib*1048576/$per_second))")
  "$bin/torvane-mkifv" --video "$src" --audio "$wav" --duration "$seconds" "$work/$name.ifv" 2>/dev/null
}

now() { date +%s.%N; }
# time_cmd CMD...: seconds of wall time
time_cmd() { local t0 t1; t0=$(now); "$@" >/dev/null 2>&1; t1=$(now); python3 -c "print($t1-$t0)"; }

median() { python3 -c "import sys,statistics;print('%.3f'%statistics.median(float(x) for x in sys.argv[1:]))" "$@"; }

measure() {
  local rec=$1 n=$2
  local in=$work/$rec.ifv out=$work/$rec.avi
  cat "$in" >/dev/null  # warm the page cache
  local cat_t=() cp_t=() conv_t=() ff_t=()
  for ((i = 0; i < n; i++)); do
    cat_t+=("$(time_cmd sh -c "cat '$in' > '$work/$rec.copy'")"); rm -f "$work/$rec.copy"
    cp_t+=("$(time_cmd cp "$in" "$work/$rec.copy")"); rm -f "$work/$rec.copy"
    conv_t+=("$(time_cmd "$bin/torvane-convert" -q -y "$in" "$out")")
    ff_t+=("$(time_cmd ffmpeg -v error -y -i "$out" -c copy -f avi "$work/$rec.ff.avi")"); rm -f "$work/$rec.ff.avi"
  done
  local mc mp mv mf
  mc=$(median "${cat_t[@]}") mp=$(median "${cp_t[@]}") mv=$(median "${conv_t[@]}") mf=$(median "${ff_t[@]}")
  local bytes rss
  bytes=$(stat -c %s "$in")
  rss=$(/usr/bin/time -f %M "$bin/torvane-convert" -q -y "$in" "$out" 2>&1 >/dev/null | tail -1)
  python3 - "$rec" "$bytes" "$mc" "$mp" "$mv" "$mf" "$rss" <<'EOF'
import sys
rec, size, c, p, v, f, rss = sys.argv[1], int(sys.argv[2]), *map(float, sys.argv[3:7]), int(sys.argv[7])
mb = size / 1e6
print(f"{rec}: {size/1048576:.0f} MiB")
print(f"  cat             {c:7.3f} s  {mb/c:8.1f} MB/s")
print(f"  cp              {p:7.3f} s  {mb/p:8.1f} MB/s")
print(f"  torvane-convert {v:7.3f} s  {mb/v:8.1f} MB/s   peak RSS {rss/1024:.1f} MiB")
print(f"  ffmpeg -c copy  {f:7.3f} s  {mb/f:8.1f} MB/s")
print(f"  ratios: convert/cat {v/c:.2f}  convert/cp {v/p:.2f}  convert/ffmpeg {v/f:.2f}")
EOF
}

echo "machine: $(nproc) cores, $(uname -sr), $(date -u +%Y-%m-%d)"
make_recording main "$size_mib"
measure main "$runs"

if [ $growth -eq 1 ]; then
  for mib in 128 1024 3072; do
    make_recording "g$mib" "$mib"
    measure "g$mib" 3
    rm -f "$work/g$mib.ifv" "$work/g$mib.avi"
  done
fi

if [ $parallel -eq 1 ]; then
  for i in 1 2 3 4; do make_recording "p$i" 256; done
  mkdir -p "$work/par"
  t1=() t2=()
  for ((i = 0; i < 3; i++)); do
    t1+=("$(time_cmd "$bin/torvane-convert" -q -y -j 1 -o "$work/par" "$work"/p?.ifv)")
    t2+=("$(time_cmd "$bin/torvane-convert" -q -y -j 2 -o "$work/par" "$work"/p?.ifv)")
  done
  m1=$(median "${t1[@]}") m2=$(median "${t2[@]}")
  python3 -c "print(f'four 256 MiB recordings: -j 1 {$m1:.3f} s, -j 2 {$m2:.3f} s, speed-up {$m1/$m2:.2f}')"
  rm -rf "$work/par" "$work"/p?.ifv
fi
