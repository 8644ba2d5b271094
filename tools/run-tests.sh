#!/usr/bin/env bash
# Installs what is missing, checks the source layout, builds every
# configuration and runs every test: native, native under ASan+UBSan, native
# under TSan, each fuzz target briefly, the Windows build under Wine in a
# throw-away prefix, and the benchmark once with a small run. Each suite's
# time is printed with its result.
#   tools/run-tests.sh              everything
#   tools/run-tests.sh --skip-wine  everything but the Windows build under Wine
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

skip_wine=0
for arg in "$@"; do
  case "$arg" in
    --skip-wine) skip_wine=1 ;;
    *) echo "usage: $0 [--skip-wine]" >&2; exit 2 ;;
  esac
done

tools/install-deps.sh

jobs=$(nproc)
# Most tests wait on real time (instruments paced at the line rate, the
# handshake's waits): one more at once than there are cores keeps the cores busy.
test_jobs=$((jobs + 1))
suites_passed=0
suites_failed=0
run_suite() {  # name, then the command
  local name=$1; shift
  local started=$SECONDS
  echo "=== $name"
  if "$@"; then
    suites_passed=$((suites_passed + 1)); echo "=== $name passed ($((SECONDS - started)) s)"
  else
    suites_failed=$((suites_failed + 1)); echo "=== $name FAILED ($((SECONDS - started)) s)"
  fi
}

build_and_test() {  # preset
  cmake --preset "$1" >/dev/null &&
    cmake --build --preset "$1" -j "$jobs" &&
    ctest --preset "$1" -j "$test_jobs"
}

run_suite layout python3 tools/check-layout.py
run_suite native build_and_test native
run_suite asan env ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 LSAN_OPTIONS=suppressions=$root/tools/lsan.supp \
  jobs=$jobs test_jobs=$test_jobs bash -c "$(declare -f build_and_test); build_and_test native-asan"
run_suite tsan env TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  jobs=$jobs test_jobs=$test_jobs bash -c "$(declare -f build_and_test); build_and_test native-tsan"

# About 20 s per target: enough to catch a regression the starting corpora or a
# short search reach; the long searches are run by hand (tools/fuzz.sh SECONDS).
run_suite fuzz tools/fuzz.sh 20

if [ "$skip_wine" = 1 ]; then
  echo "=== windows: skipped on request (--skip-wine)"
else
  run_suite windows tools/wine-tests.sh
fi

# The benchmark, once with a small run, so that it keeps building and running;
# its figures are printed, not judged.
bench_args=(--rows 2000 --seconds 1)
[ "$skip_wine" = 1 ] && bench_args+=(--skip-wine)
run_suite bench tools/bench.sh "${bench_args[@]}"

echo "suites: $suites_passed passed, $suites_failed failed, $((SECONDS / 60)) min $((SECONDS % 60)) s in all"
[ "$suites_failed" = 0 ]
