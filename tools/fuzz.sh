#!/usr/bin/env bash
# Builds the fuzz targets (preset fuzz) and runs each for SECONDS (default 60),
# in a single process each, as many at once as there are cores (each search is
# one thread, so each still gets a core), from its starting corpus in
# fuzz/corpus/. New inputs go to a
# scratch corpus under build/fuzz/corpus, findings to build/fuzz/findings.
# Prints executions and findings per target; fails when a target found something.
#   tools/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
case "$seconds" in ''|*[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;; esac

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target \
  fuzz_receive_path fuzz_channel_catalogue fuzz_host_commands fuzz_discovery_texts >/dev/null

# A description that makes a channel per column of a long line would take
# hundreds of MiB (4095 columns: over 500 MiB); a device within its bounds
# takes under 9 MiB. The limits stop any input that costs far more.
limits=(-rss_limit_mb=256 -malloc_limit_mb=16)
# The longest input each target can use: a burst beyond the receive ring, four
# description lines that each fill it.
declare -A max_len=([receive_path]=32768 [channel_catalogue]=40000 [host_commands]=4096 [discovery_texts]=4096)

# A small quarantine keeps freed channel records from counting against the limit.
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:quarantine_size_mb=16
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
unset RIVU_LOG_FILE RIVU_SERIAL_PORTS
build=build/fuzz
# Runs one target; its summary goes to $build/fuzz_<target>.summary (a line
# with FINDINGS when it found something).
fuzz_target() {  # target
  local target=$1
  local corpus=$build/corpus/$target findings=$build/findings/$target log=$build/fuzz_$target.log
  mkdir -p "$corpus" "$findings"
  local status=0
  "$build/fuzz/fuzz_$target" "${limits[@]}" -max_len="${max_len[$target]}" -max_total_time="$seconds" \
    -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "fuzz/corpus/$target" \
    >"$log" 2>&1 || status=$?
  local runs found
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  found=$(find "$findings" -type f | wc -l)
  if [ "$status" != 0 ] || [ "$found" != 0 ]; then
    echo "$target: ${runs:-?} executions, FINDINGS: $found (exit $status, log $log)" >"$build/fuzz_$target.summary"
    grep -E "^(==[0-9]+==ERROR|invariant broken|SUMMARY|.*runtime error)" "$log" | head -5 >>"$build/fuzz_$target.summary" || true
    return 0
  fi
  echo "$target: ${runs:-?} executions, findings: 0" >"$build/fuzz_$target.summary"
}

targets=(receive_path channel_catalogue host_commands discovery_texts)
for target in "${targets[@]}"; do
  rm -f "$build/fuzz_$target.summary"
  # At most one search per core at a time.
  while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
  fuzz_target "$target" &
done
wait
failed=0
summary=()
for target in "${targets[@]}"; do
  file=$build/fuzz_$target.summary
  [ -s "$file" ] || echo "$target: FINDINGS: the run left no summary" >"$file"
  grep -q FINDINGS "$file" && failed=1
  summary+=("$(cat "$file")")
done
printf '%s\n' "${summary[@]}"
exit $failed
