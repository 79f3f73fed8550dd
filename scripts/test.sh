#!/usr/bin/env bash
# Builds and runs the whole test suite: first a Release build with every test (GUI, end-to-end
# and the large OpenDML test included), then the Debian package and its checks, then a clang
# build under AddressSanitizer and UndefinedBehaviorSanitizer that runs the unit tests again and
# the bounded fuzz runs, then a clang build under ThreadSanitizer of just what the tests
# labelled `tsan` need, and last the Windows cross build with its tests under Wine
# (scripts/test-windows.sh: a few minutes, plus about ten once on a new machine to build the
# window's wxWidgets for Windows into ~/.cache).
#
#   scripts/test.sh              everything (what CI runs)
#   TORVANE_QUICK=1 scripts/test.sh   the Release pass only
#   CTEST_ARGS="-R Reader" scripts/test.sh   pass extra arguments to ctest
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
ctest_args=(--output-on-failure -j "$jobs" ${CTEST_ARGS:-})

echo "== Formatting and module boundaries =="
bash scripts/check-tree.sh

echo "== Release build and tests =="
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTORVANE_WERROR=ON
cmake --build build -j "$jobs"
ctest --test-dir build "${ctest_args[@]}"

if [ "${TORVANE_QUICK:-0}" = "1" ]; then
  exit 0
fi

echo "== Debian package: lintian, installed into an empty root, reproducible =="
bash scripts/check-package.sh build-pkg

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build and tests =="
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_WERROR=ON \
  -DTORVANE_SANITIZE=ON -DTORVANE_BUILD_GUI=OFF -DTORVANE_BUILD_BENCH=OFF -DTORVANE_FUZZ=ON
cmake --build build-asan -j "$jobs"
# Tests labelled `tsan` run here too: they also have failure paths that leak if anything does.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -LE 'large|gui' "${ctest_args[@]}"

echo "== ThreadSanitizer build and the threaded tests =="
CC=clang CXX=clang++ cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_WERROR=ON \
  -DTORVANE_TSAN=ON -DTORVANE_BUILD_GUI=OFF -DTORVANE_BUILD_BENCH=OFF
cmake --build build-tsan -j "$jobs" --target test_avi test_conversion_job test_convert_threads test_mux gui_poller_test \
  torvane-convert
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan -L tsan "${ctest_args[@]}"

echo "== Windows: cross build (MinGW-w64) and its tests under Wine =="
TORVANE_LINUX_BUILD=build bash scripts/test-windows.sh
