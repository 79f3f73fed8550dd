#!/usr/bin/env bash
# Runs one fuzz target for a bounded time on a fresh copy of its seed corpus.
#   run_fuzzer.sh TARGET SEED_DIR SECONDS [WORK_DIR]
# Findings (crash-*, leak-*, timeout-*) are left in WORK_DIR/artifacts.
set -euo pipefail
target=$1 seeds=$2 seconds=$3
work=${4:-$(dirname "$target")/fuzz-work/$(basename "$target")}
rm -rf "$work/corpus"
mkdir -p "$work/corpus" "$work/artifacts"
cp -r "$seeds"/. "$work/corpus/" 2>/dev/null || true
exec "$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -max_len=65536 \
  -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus"
