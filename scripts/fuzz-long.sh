#!/usr/bin/env bash
# Long fuzzing runs by hand, one target at a time, at the lowest priority.
#
#   scripts/fuzz-long.sh TARGET [SECONDS] [RUNS]    e.g. scripts/fuzz-long.sh fuzz_reader 3600
#   scripts/fuzz-long.sh all [SECONDS]              every target in turn
#
# Builds the clang fuzz build in build-fuzz (AddressSanitizer, UndefinedBehaviorSanitizer,
# libFuzzer coverage), keeps a growing corpus per target in build-fuzz/corpus/TARGET (seeded
# from the project's own seed generator), findings in build-fuzz/findings/TARGET, and appends
# one line per run (executions, coverage, features, corpus size) to build-fuzz/fuzz-log.txt.
# RUNS (0 = no limit) stops after that many executions. FUZZ_WORKERS (default 1) runs that many
# fuzzer processes at once; FUZZ_ARGS passes further libFuzzer options.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=(fuzz_reader fuzz_voice fuzz_convert)
target=${1:?usage: scripts/fuzz-long.sh TARGET|all [SECONDS] [RUNS]}
seconds=${2:-3600}
runs=${3:-0}
workers=${FUZZ_WORKERS:-1}
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTORVANE_SANITIZE=ON -DTORVANE_FUZZ=ON -DTORVANE_BUILD_GUI=OFF -DTORVANE_BUILD_BENCH=OFF >/dev/null
nice -n 19 cmake --build "$build" -j 2 --target fuzz_make_seeds "${targets[@]}"
"$build/bin/fuzz_make_seeds" "$build/fuzz/seeds"

corpus_of() {
  case $1 in
    fuzz_reader) echo reader ;;
    fuzz_voice) echo voice ;;
    fuzz_convert) echo convert ;;
  esac
}

run_one() {
  local t=$1 corpus=$build/corpus/$1 findings=$build/findings/$1 log
  mkdir -p "$corpus" "$findings"
  log=$build/findings/$t/run-$(date +%Y%m%d-%H%M%S).log
  local args=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -max_len=65536
              -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$findings/")
  [ "$runs" != 0 ] && args+=(-runs="$runs")
  [ "$workers" -gt 1 ] && args+=(-jobs="$workers" -workers="$workers")
  echo "== $t: ${seconds}s, corpus $corpus, log $log"
  set +e
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    nice -n 19 "$build/bin/$t" "${args[@]}" ${FUZZ_ARGS:-} "$corpus" "$build/fuzz/seeds/$(corpus_of "$t")" \
    >"$log" 2>&1
  local status=$?
  set -e
  # The last status line: executions, coverage and features reached.
  local line execs
  line=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  execs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{s+=$2} END {print s+0}')
  echo "$(date -u +%FT%TZ) $t exit=$status execs=$execs corpus_files=$(ls "$corpus" | wc -l) last: $line" \
    | tee -a "$build/fuzz-log.txt"
  return $status
}

if [ "$target" = all ]; then
  for t in "${targets[@]}"; do run_one "$t"; done
else
  run_one "$target"
fi
