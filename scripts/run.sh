#!/usr/bin/env bash
# Installs, builds (Release) and converts the bundled sample recording, or INPUT into OUTPUT.
#   scripts/run.sh [INPUT.ifv [OUTPUT.avi]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

bash "$root/scripts/install-deps.sh" >&2
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >&2
cmake --build "$root/build" >&2

input=${1:-$root/data/samples/sample.ifv}
output=${2:-}
if [ -z "$output" ]; then
  mkdir -p "$root/out"
  output="$root/out/$(basename "${input%.*}").avi"
fi
"$root/build/bin/torvane-convert" --info "$input"
"$root/build/bin/torvane-convert" -y "$input" "$output"
echo "wrote $output ($(stat -c %s "$output") bytes)"
