#!/usr/bin/env bash
# The whole test suite: a normal build with every test, the Windows stage (scripts/windows-stage.sh),
# the same tests under
# AddressSanitizer + UndefinedBehaviorSanitizer, and a short bounded run of each fuzz target.
#
#   scripts/test.sh           every stage (what CI runs)
#   scripts/test.sh --busy    only the normal stage, with two CPU hogs (stress-ng --cpu 2) running
#                             beside the tests the whole time: the suite must hold on a busy machine
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
# Most tests wait on serial lines, terminals and servers rather than compute (the long ones use
# well under a second of CPU a minute), so twice as many run at once as there are cores; every
# test holds on a busy machine (see --busy).
test_jobs=$((jobs * 2))

busy=0
for arg in "$@"; do
  case "$arg" in
    --busy) busy=1 ;;
    -h|--help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "test.sh: unknown option $arg (known: --busy)" >&2; exit 2 ;;
  esac
done

# A throw-away PostgreSQL server for the store tests of both stages, removed at the end
# whatever happens (the PostgreSQL tests fail rather than skip in CI without it).
bash scripts/setup.sh build >/dev/null  # installs the packages, postgresql among them
eval "$(bash scripts/pg-cluster.sh start)"
hogs=""
cleanup() {
  # The hogs go first, whatever happened: they must never outlive the run.
  if [ -n "$hogs" ]; then
    kill -TERM "$hogs" 2>/dev/null || true
    wait "$hogs" 2>/dev/null || true
  fi
  bash scripts/pg-cluster.sh stop "$VANTO_TEST_PG_DIR"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
echo "== PostgreSQL for the tests: port $VANTO_TEST_PG_PORT"

echo "== build and test"
bash scripts/setup.sh build
if [ "$busy" -eq 1 ]; then
  # Two CPU hogs for as long as the tests run (stress-ng's own time limit is a backstop in case
  # this script is killed without running its exit trap).
  stress-ng --cpu 2 --timeout 3h --quiet &
  hogs=$!
  echo "== beside two CPU hogs (stress-ng --cpu 2, process $hogs)"
fi
ctest --test-dir build --output-on-failure -j"$test_jobs"
if [ "$busy" -eq 1 ]; then
  echo "== the normal stage passed beside two CPU hogs"
  exit 0
fi

echo "== Windows stage: cross-build, register under Wine, both clients against the simulator"
bash scripts/windows-stage.sh build

echo "== build and test under AddressSanitizer + UndefinedBehaviorSanitizer"
bash scripts/setup.sh build-asan -DVANTO_SANITIZE=ON -DVANTO_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$test_jobs"

if [ -d fuzz ]; then
  echo "== fuzz targets (bounded)"
  CXX=clang++ cmake -S . -B build-fuzz -DVANTO_FUZZ=ON -DVANTO_BENCH=OFF >/dev/null
  targets=$(cmake --build build-fuzz --target help | sed -n 's/^\.\.\. \(fuzz_[A-Za-z0-9_]*\).*/\1/p')
  for target in $targets; do
    cmake --build build-fuzz -j"$jobs" --target "$target" >/dev/null
    binary=$(find build-fuzz/fuzz -type f -name "$target" -perm -u+x | head -n 1)
    echo "-- $target (30 s)"
    mkdir -p "build-fuzz/corpus/$target"
    # A seed corpus checked in next to the target (fuzz/<area>/corpus/<target>) is read along
    # with the build's own corpus; new inputs go to the build's (the first directory).
    seeds=$(find fuzz -type d -path "*/corpus/$target" | head -n 1)
    "$binary" -max_total_time=30 -timeout=5 -rss_limit_mb=2048 "build-fuzz/corpus/$target" $seeds \
      >"build-fuzz/$target.log" 2>&1 || { tail -n 60 "build-fuzz/$target.log"; exit 1; }
  done
fi

echo "== all test stages passed"
