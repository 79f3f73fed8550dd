#!/usr/bin/env bash
# Long fuzzing runs by hand, one target at a time, at the lowest priority.
#
#   scripts/fuzz-long.sh TARGET [SECONDS] [RUNS]    e.g. scripts/fuzz-long.sh fuzz_reader 3600
#   scripts/fuzz-long.sh all [SECONDS]              every target in turn
#   scripts/fuzz-long.sh coverage                   line coverage of each target's corpus
#
# Builds the clang fuzz build in build-fuzz (AddressSanitizer, UndefinedBehaviorSanitizer,
# libFuzzer coverage), keeps a growing corpus per target in build-fuzz/corpus/TARGET (seeded
# from the project's own seed generator), findings in build-fuzz/findings/TARGET, and appends
# one line per run (executions, coverage, features, corpus size) to build-fuzz/fuzz-log.txt.
# RUNS (0 = no limit) stops after that many executions. FUZZ_WORKERS (default 1) runs that many
# fuzzer processes at once; FUZZ_ARGS passes further libFuzzer options.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=(fuzz_reader fuzz_voice fuzz_convert fuzz_settings fuzz_language fuzz_avc)
target=${1:?usage: scripts/fuzz-long.sh TARGET|all|coverage [SECONDS] [RUNS]}

# Replays each corpus once in a build with source coverage and reports the lines of the core
# that it reaches (build-fuzzcov; the corpora stay in build-fuzz).
if [ "$target" = coverage ]; then
  cov=build-fuzzcov
  CC=clang CXX=clang++ cmake -S . -B "$cov" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_FUZZ=ON \
    -DTORVANE_BUILD_GUI=OFF -DTORVANE_BUILD_BENCH=OFF \
    -DCMAKE_C_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
    -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
    -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" >/dev/null
  nice -n 19 cmake --build "$cov" -j 2 --target "${targets[@]}"
  mkdir -p "$cov/profiles"
  for t in "${targets[@]}"; do
    rm -f "$cov/profiles/$t".*
    LLVM_PROFILE_FILE="$cov/profiles/$t.profraw" nice -n 19 "$cov/bin/$t" -runs=0 -close_fd_mask=3 \
      "build-fuzz/corpus/$t" >/dev/null 2>&1 || true
    llvm-profdata merge -o "$cov/profiles/$t.profdata" "$cov/profiles/$t.profraw"
    echo "== $t: lines of the core reached by its corpus ($(ls "build-fuzz/corpus/$t" | wc -l) inputs)"
    llvm-cov report "$cov/bin/$t" -instr-profile="$cov/profiles/$t.profdata" \
      -ignore-filename-regex='(tests|fuzz|tools)/|/usr/' | awk 'NR<=2 || /TOTAL/ || /(recording|voice|avi|app|common)\//'
  done
  exit 0
fi
seconds=${2:-3600}
runs=${3:-0}
workers=${FUZZ_WORKERS:-1}
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTORVANE_SANITIZE=ON -DTORVANE_FUZZ=ON -DTORVANE_BUILD_TESTS=ON -DTORVANE_BUILD_GUI=OFF \
  -DTORVANE_BUILD_BENCH=OFF >/dev/null
nice -n 19 cmake --build "$build" -j 2 --target fuzz_make_seeds "${targets[@]}"
"$build/bin/fuzz_make_seeds" "$build/fuzz/seeds"

corpus_of() {
  case $1 in
    fuzz_reader) echo reader ;;
    fuzz_voice) echo voice ;;
    fuzz_convert) echo convert ;;
    fuzz_settings) echo settings ;;
    fuzz_language) echo language ;;
    fuzz_avc) echo avc ;;
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
