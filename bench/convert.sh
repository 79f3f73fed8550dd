#!/usr/bin/env bash
# Times torvane-convert against plain copies of the recording and against the tool a user would
# otherwise reach for (`ffmpeg -c copy` remuxing the AVI), in alternating runs on the same warm
# page cache:
#   cat IN > OUT     coreutils 9 copies regular files inside the kernel (copy_file_range)
#   cp IN OUT        likewise
#   dd bs=128K       reads and writes every byte through user space, as the converter must and as
#                    cat does where it cannot copy in the kernel (with a 128 KiB buffer)
# and the same conversion to Matroska and to MP4 (AAC encoding included) against the AVI.
#
#   bench/convert.sh [--size MiB] [--runs N] [--growth] [--parallel] [--baseline DIR] [--keep]
#
# --growth   also times 128 MiB, 1 GiB and 3 GiB recordings (the last crosses the OpenDML threshold)
#            against cat and dd
# --parallel also times -j 1 against -j 2 on four recordings
# --baseline also times DIR/torvane-convert (another build) in the same alternation
# Every timed command writes a new file, and each output is removed (untimed) as soon as it is
# not needed any more, before the system writes it back: no run pays for truncating an old
# output or for writing back another run's data, and the disk stays out of the measurement.
# Work files go to $TORVANE_BENCH_DIR (default build/bench-work); they are removed unless --keep.
# $TORVANE_BIN names another build's bin folder (to compare builds).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size_mib=1024 runs=7 growth=0 parallel=0 keep=0 baseline=
while [ $# -gt 0 ]; do
  case $1 in
    --size) size_mib=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --growth) growth=1; shift ;;
    --parallel) parallel=1; shift ;;
    --baseline) baseline=$(cd "$2" && pwd); shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done

bin=${TORVANE_BIN:-$root/build/bin}
work=${TORVANE_BENCH_DIR:-$root/build/bench-work}
mkdir -p "$work"
[ $keep -eq 1 ] || trap 'rm -rf "$work"/*.ifv "$work"/*.avi "$work"/*.copy "$work"/*.mkv "$work"/*.mp4 "$work/par"' EXIT

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

# make_recording NAME MiB [LAYOUT]: a recording of about that size (mode-35 voice, 2-minute
# segments), repeating the 20 s source; LAYOUT interleaved (default) or video-first (each
# segment's video frames before its audio frames).
make_recording() {
  local name=$1 mib=$2 layout=${3:-interleaved}
  [ -s "$work/$name.ifv" ] && return 0
  local per_second seconds
  per_second=$(python3 -c "import os;print((os.path.getsize('$src')/20.0)+25*168)")
  seconds=$(python3 -c "print(round($mib*1048576/$per_second))")
  "$bin/torvane-mkifv" --video "$src" --audio "$wav" --duration "$seconds" --layout "$layout" \
    "$work/$name.ifv" 2>/dev/null
}

# timed NAME CMD...: appends the wall time of CMD to the list NAME, its user and system CPU
# times (10 ms resolution) to cpu[NAME]
declare -A times cpu
timed() {
  local name=$1 t t0 t1 user sys; shift
  t=$(mktemp)
  t0=$(date +%s.%N)
  /usr/bin/time -f "%U %S" -o "$t" "$@" >/dev/null 2>&1 || true
  t1=$(date +%s.%N)
  read -r user sys <"$t"
  rm -f "$t"
  times[$name]+="$(python3 -c "print($t1-$t0)") "
  cpu[$name]+="$user/$sys "
}

# report BYTES NAME...: median, min and max per list, and the ratios between medians
report() {
  local bytes=$1; shift
  local args=()
  for name in "$@"; do args+=("$name=${times[$name]}=${cpu[$name]}"); done
  python3 - "$bytes" "${args[@]}" <<'EOF'
import sys, statistics as st
size = int(sys.argv[1]); mb = size / 1e6
m = {}
for arg in sys.argv[2:]:
    name, values, cpus = arg.split("=", 2)
    v = [float(x) for x in values.split()]
    m[name] = st.median(v)
    user = st.median(float(x.split("/")[0]) for x in cpus.split())
    system = st.median(float(x.split("/")[1]) for x in cpus.split())
    rate = f"  {mb/m[name]:5.0f} MB/s, {m[name]*2**30/size:.3f} s/GiB" if size else ""
    print(f"  {name:16s} median {m[name]:7.3f} s  (min {min(v):.3f}, max {max(v):.3f}, {len(v)} runs)"
          f"{rate}; CPU user {user:.2f} s, system {system:.2f} s")
c = m.get("torvane-convert")
if c:
    line = []
    for ref in ("cat", "cp", "dd bs 128K"):
        if ref in m: line.append(f"convert/{ref.split()[0]} {c/m[ref]:.2f}")
    if "ffmpeg -c copy" in m:
        f = m["ffmpeg -c copy"]
        line.append(f"convert/ffmpeg {c/f:.2f} (ffmpeg/convert {f/c:.2f})")
    for other in ("mkv", "mp4"):
        if "to " + other in m: line.append(f"{other}/avi {m['to ' + other]/c:.2f}")
    if "baseline" in m: line.append(f"baseline/convert {m['baseline']/c:.2f}")
    print("  ratios of medians: " + ", ".join(line))
EOF
}

peak_rss() { /usr/bin/time -f %M "$bin/torvane-convert" -q -y "$1" "$2" 2>&1 >/dev/null | tail -1; }
# System calls that read or write, per MiB of recording, counted by strace over every thread.
io_calls_per_mib() {
  local log=$work/strace.log
  strace -c -f -o "$log" "$bin/torvane-convert" -q -y "$1" "$2" >/dev/null 2>&1 || true
  python3 - "$log" "$(stat -c %s "$1")" <<'EOF'
import sys
calls = 0
for line in open(sys.argv[1]):
    f = line.split()
    if len(f) >= 5 and f[-1] in ("read", "pread64", "preadv", "readv", "write", "pwrite64",
                                 "writev", "pwritev"):
        calls += int(f[3])
print(f"{calls / (int(sys.argv[2]) / 1048576):.1f}")
EOF
  rm -f "$log"
}

measure() {
  local rec=$1 n=$2 with_others=$3
  local in=$work/$rec.ifv out=$work/$rec.avi copy=$work/$rec.copy ff=$work/$rec.ff.avi
  times=() cpu=()
  rm -f "$copy" "$out" "$ff"
  sync                  # the recording and earlier outputs on disk, nothing left to write back
  cat "$in" >/dev/null  # warm the page cache
  for ((i = 0; i < n; i++)); do
    timed cat sh -c "cat '$in' > '$copy'"; rm -f "$copy"
    [ "$with_others" = 1 ] && { timed cp cp "$in" "$copy"; rm -f "$copy"; }
    timed "dd bs 128K" dd if="$in" of="$copy" bs=128K; rm -f "$copy"
    if [ -n "$baseline" ]; then
      timed baseline "$baseline/torvane-convert" -q "$in" "$out"; rm -f "$out"
    fi
    # Before the AVI, which stays for ffmpeg to read: they would pay for its writing back.
    if [ "$with_others" = 1 ]; then
      timed "to mkv" "$bin/torvane-convert" -q "$in" "$work/$rec.mkv"; rm -f "$work/$rec.mkv"
      timed "to mp4" "$bin/torvane-convert" -q "$in" "$work/$rec.mp4"; rm -f "$work/$rec.mp4"
    fi
    timed torvane-convert "$bin/torvane-convert" -q "$in" "$out"
    if [ "$with_others" = 1 ]; then
      timed "ffmpeg -c copy" ffmpeg -v error -y -i "$out" -c copy -f avi "$ff"; rm -f "$ff"
    fi
    [ $i -eq $((n - 1)) ] || rm -f "$out"
  done
  local bytes rss
  bytes=$(stat -c %s "$in")
  rss=$(peak_rss "$in" "$out")
  echo "$rec: $(python3 -c "print(f'{$bytes/1048576:.0f}')") MiB recording, $(stat -c %s "$out") bytes of AVI," \
    "peak RSS of torvane-convert $(python3 -c "print(f'{$rss/1024:.1f}')") MiB," \
    "$(io_calls_per_mib "$in" "$out") read and write calls per MiB"
  local names=(cat)
  [ "$with_others" = 1 ] && names+=(cp)
  names+=("dd bs 128K")
  [ -n "$baseline" ] && names+=(baseline)
  names+=(torvane-convert)
  [ "$with_others" = 1 ] && names+=("to mkv" "to mp4" "ffmpeg -c copy")
  report "$bytes" "${names[@]}"
}

echo "machine: $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs))," \
  "$(free -g | awk '/Mem:/{print $2}') GiB RAM, $(uname -sr), $(df -T "$work" | awk 'NR==2{print $2}')," \
  "$(date -u +%Y-%m-%d)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
make_recording main "$size_mib"
measure main "$runs" 1
rm -f "$work/main.avi"
make_recording video-first "$size_mib" video-first
measure video-first "$runs" 0
rm -f "$work/video-first.avi"

if [ $growth -eq 1 ]; then
  for mib in 128 1024 3072; do
    make_recording "g$mib" "$mib"
    measure "g$mib" 5 0
    rm -f "$work/g$mib.ifv" "$work/g$mib.avi"
  done
fi

if [ $parallel -eq 1 ]; then
  for i in 1 2 3 4; do make_recording "p$i" 256; done
  times=() cpu=()
  sync
  cat "$work"/p?.ifv >/dev/null
  for ((i = 0; i < 5; i++)); do
    mkdir -p "$work/par"
    timed "-j 1" "$bin/torvane-convert" -q -j 1 -o "$work/par" "$work"/p?.ifv
    rm -rf "$work/par"; mkdir -p "$work/par"
    timed "-j 2" "$bin/torvane-convert" -q -j 2 -o "$work/par" "$work"/p?.ifv
    rm -rf "$work/par"
  done
  echo "four 256 MiB recordings in one call:"
  report 0 "-j 1" "-j 2"
  python3 -c "
import statistics as st
a=[float(x) for x in '${times[-j 1]}'.split()]; b=[float(x) for x in '${times[-j 2]}'.split()]
print(f'  speed-up of -j 2: {st.median(a)/st.median(b):.2f}')"
  rm -rf "$work/par" "$work"/p?.ifv
fi
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
