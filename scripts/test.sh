#!/usr/bin/env bash
# The whole test suite: a normal build with every test, the same tests under
# AddressSanitizer + UndefinedBehaviorSanitizer, and a short bounded run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

echo "== build and test"
bash scripts/setup.sh build
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== build and test under AddressSanitizer + UndefinedBehaviorSanitizer"
bash scripts/setup.sh build-asan -DVANTO_SANITIZE=ON -DVANTO_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

if [ -d fuzz ]; then
  echo "== fuzz targets (bounded)"
  CXX=clang++ bash scripts/setup.sh build-fuzz -DVANTO_FUZZ=ON -DVANTO_BENCH=OFF
  for target in build-fuzz/fuzz/*/fuzz_* build-fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    echo "-- $target"
    "$target" -max_total_time=30 -timeout=5 -rss_limit_mb=2048 >/dev/null 2>"$target.log" || { cat "$target.log"; exit 1; }
  done
fi
