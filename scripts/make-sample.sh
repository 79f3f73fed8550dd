#!/usr/bin/env bash
# Rebuilds data/samples/sample.ifv: five seconds of H.264 from ffmpeg's test source (libx264)
# with speech as mode-35 voice frames, written by torvane-mkifv. Speech comes from espeak-ng
# when it is installed, else from a synthetic vowel-like signal.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --build "$root/build" --target torvane-mkifv >/dev/null
ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -t 5 -c:v libx264 -preset slow \
  -crf 30 -g 25 -bf 0 -pix_fmt yuv420p -f h264 "$work/video.h264"
if command -v espeak-ng >/dev/null; then
  espeak-ng -v en -s 150 -w "$work/speech.wav" \
    "This is a Torvane sample recording. Camera one, front entrance. Five seconds of test video with sound."
  ffmpeg -v error -y -i "$work/speech.wav" -af apad -t 5 -ar 8000 -ac 1 -c:a pcm_s16le "$work/audio.wav"
else
  ffmpeg -v error -y -f lavfi -i "sine=frequency=180:sample_rate=8000:duration=5" \
    -af "aeval=val(0)*(0.6+0.4*sin(2*PI*3*t)),volume=0.6" -ac 1 -c:a pcm_s16le "$work/audio.wav"
fi
mkdir -p "$root/data/samples"
"$root/build/bin/torvane-mkifv" --video "$work/video.h264" --audio "$work/audio.wav" \
  --frames-per-segment 50 --start-time 1796000000 "$root/data/samples/sample.ifv"
ls -l "$root/data/samples/sample.ifv"
