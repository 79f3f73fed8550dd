#!/usr/bin/env bash
# Checks of the tree that the compiler does not make (CI runs it before building):
#  - every C and C++ file is formatted as .clang-format says;
#  - a module's *_internal.h is included only by that module's own files (tests, benchmarks
#    and fuzz targets may reach inside any module).
set -euo pipefail
cd "$(dirname "$0")/.."

status=0
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')

if ! clang-format --dry-run --Werror "${files[@]}" 2>/tmp/torvane-format.$$; then
  sed -n '1,40p' /tmp/torvane-format.$$
  echo "check-tree: files not formatted; run: clang-format -i \$(git ls-files '*.c' '*.cpp' '*.h')"
  status=1
fi
rm -f /tmp/torvane-format.$$

for f in "${files[@]}"; do
  module=${f%%/*}
  case $module in tests | bench | fuzz) continue ;; esac
  while IFS= read -r included; do
    if [ "${included%%/*}" != "$module" ]; then
      echo "check-tree: $f includes $included, the inside of another module"
      status=1
    fi
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*_internal\.h\)".*/\1/p' "$f")
done

[ $status -eq 0 ] && echo "check-tree: formatting and module boundaries are fine"
exit $status
