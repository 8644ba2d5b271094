#!/usr/bin/env bash
# Builds and runs the benchmark and prints one table: throughput of a flood of
# rows, cost and delay at the 115200-baud line rate, for librivu.so natively
# and rivu.dll under Wine (in a throw-away prefix), next to a bare reader
# thread (the floor of this machine) and a pyserial reader.
#   tools/bench.sh [--rows N] [--seconds S] [--skip-wine] [--no-build]
#                  [--devices N,N...] [--no-scaling-check]
# --rows: rows of the flood (default 100000); --seconds: length of the
# line-rate run (default 10). --devices 1,8,32: instead of that table, one of
# N instruments at the line rate at once for each N (one pseudo-terminal each,
# one host thread draining them in turn), next to N bare readers. First the
# scaling check proves over every plain decimal text that the enabler's number
# reading and scaling give the general reader's samples (--no-scaling-check
# leaves it out). Exits non-zero when a run failed, lost samples or fell
# behind the line rate; the table is then marked incomplete.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

rows=100000
seconds=10
skip_wine=0
build=1
devices=
scaling_check=1
usage="usage: $0 [--rows N] [--seconds S] [--skip-wine] [--no-build] [--devices N,N...] [--no-scaling-check]"
while [ $# -gt 0 ]; do
  case "$1" in
    --rows) rows=${2:?}; shift 2 ;;
    --seconds) seconds=${2:?}; shift 2 ;;
    --skip-wine) skip_wine=1; shift ;;
    --no-build) build=0; shift ;;
    --devices) devices=${2:?}; shift 2 ;;
    --no-scaling-check) scaling_check=0; shift ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
if [ -n "$devices" ]; then
  [[ $devices =~ ^[0-9]+(,[0-9]+)*$ ]] || { echo "bench: --devices takes counts such as 1,8,32" >&2; exit 2; }
  skip_wine=1  # the rack runs natively
fi

native=$root/build/native
windows=$root/build/windows
wine=/usr/lib/wine/wine64
if [ "$build" = 1 ]; then
  cmake --preset native >/dev/null
  cmake --build --preset native -j "$(nproc)" --target rivu rivu-bench rivu-scaling-check >/dev/null
  if [ "$skip_wine" = 0 ]; then
    cmake --preset windows >/dev/null
    cmake --build --preset windows -j "$(nproc)" --target rivu rivu-bench ftd2xx_double >/dev/null
  fi
fi
[ -f "$native/librivu.so" ] || { echo "bench: no enabler at $native/librivu.so (build the native preset)" >&2; exit 2; }
[ -x "$native/bench/rivu-bench" ] || { echo "bench: no $native/bench/rivu-bench (build the native preset)" >&2; exit 2; }
if [ "$scaling_check" = 1 ]; then
  [ -x "$native/bench/rivu-scaling-check" ] || { echo "bench: no $native/bench/rivu-scaling-check (build the native preset)" >&2; exit 2; }
fi
if [ "$skip_wine" = 0 ]; then
  [ -x "$wine" ] || { echo "bench: Wine is missing ($wine): install wine64, or pass --skip-wine" >&2; exit 2; }
  [ -f "$windows/rivu.dll" ] || { echo "bench: no enabler at $windows/rivu.dll (build the windows preset)" >&2; exit 2; }
fi
# Debian's python3 with python3-serial (asked from / so that no folder named serial stands in).
python=/usr/bin/python3
(cd / && "$python" -c 'import serial; serial.Serial') 2>/dev/null ||
  { echo "bench: pyserial is missing: install python3-serial" >&2; exit 2; }

work=$(mktemp -d /tmp/rivu-bench.XXXXXX)
instrument_pid=
cleanup() {
  [ -n "$instrument_pid" ] && kill "$instrument_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  if [ "$skip_wine" = 0 ]; then WINEPREFIX="$work/prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Rows of about 52 bytes with CR LF: the line-rate run lasts about $seconds s.
paced_rows=$((seconds * 11520 / 52))
failed=0
declare -A results

start_instrument() {  # name, rows, then --paced or nothing
  rm -f "$work/$1.port" "$work/$1.times"
  "$native/bench/rivu-bench" instrument --port-file "$work/$1.port" --times "$work/$1.times" --rows "$2" ${3:-} &
  instrument_pid=$!
  for _ in $(seq 100); do [ -s "$work/$1.port" ] && break; sleep 0.05; done
  [ -s "$work/$1.port" ] || { echo "bench: the instrument did not start" >&2; exit 1; }
  port=$(cat "$work/$1.port")
}

stop_instrument() {
  kill "$instrument_pid" 2>/dev/null || true
  wait "$instrument_pid" 2>/dev/null || true
  instrument_pid=
}

record() {  # name, then the command printing RESULT
  local name=$1; shift
  local output status=0
  output=$("$@" 2>"$work/$name.err") || status=$?
  # Windows programs end their lines with CR LF.
  results[$name]=$(tr -d '\r' <<<"$output" | grep '^RESULT' | head -n1 || true)
  if [ "$status" != 0 ] || [ -z "${results[$name]}" ]; then
    failed=1
    echo "bench: $name failed (status $status): $(tail -n3 "$work/$name.err")" >&2
  fi
}

run_native() {  # name, rows, then --paced or nothing
  start_instrument "$1" "$2" "${3:-}"
  record "$1" env RIVU_SERIAL_PORTS="$port" "$native/bench/rivu-bench" host --library "$native/librivu.so" \
    --times "$work/$1.times" --rows "$2"
  stop_instrument
}

winpath() { echo "Z:${1//\//\\}"; }

run_wine() {  # name, rows, then --paced or nothing
  start_instrument "$1" "$2" "${3:-}"
  # The enabler opens the port by its interface path: a link of that name in
  # dosdevices leads to the instrument's terminal.
  ln -sfn "$port" "$WINEPREFIX/dosdevices/ftdibus#vid_0403+pid_6001+ksc01234a#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}"
  record "$1" "$wine" "$windows/bench/rivu-bench.exe" host --library "$(winpath "$windows/rivu.dll")" \
    --times "$(winpath "$work/$1.times")" --rows "$2" --wine-port
  stop_instrument
}

if [ "$scaling_check" = 1 ]; then
  "$native/bench/rivu-scaling-check" --all || { echo "bench: the scaling check found a difference" >&2; exit 1; }
fi

field() {  # result line, key
  local value
  value=$(grep -o "\b$2=[^ ]*" <<<"$1" | cut -d= -f2 || true)
  echo "${value:--}"
}

header() {
  local cpu
  cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')
  echo "Rivu enabler benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $cpu, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
}

if [ -n "$devices" ]; then
  # rack_reader NAME N READER...: N instruments streaming at the line rate at
  # once for READER (the host or the floor, given the port and times files),
  # which closes them while they stream (the host's CloseAll is timed), so the
  # instrument process ends by itself and its status counts (non-zero: a
  # terminal could not be opened or an instrument fell behind).
  rack_reader() {
    local name=$1 n=$2 status=0
    shift 2
    rm -f "$work/$name.port"
    "$native/bench/rivu-bench" instrument --port-file "$work/$name.port" --times "$work/$name.times" \
      --rows "$paced_rows" --paced --devices "$n" 2>"$work/$name.instrument.err" &
    instrument_pid=$!
    for _ in $(seq 100); do [ -s "$work/$name.port" ] && break; kill -0 "$instrument_pid" 2>/dev/null || break; sleep 0.05; done
    if [ ! -s "$work/$name.port" ]; then
      wait "$instrument_pid" 2>/dev/null || status=$?
      instrument_pid=
      failed=1
      echo "bench: $name: the instruments did not start (status $status): $(tail -n3 "$work/$name.instrument.err")" >&2
      return
    fi
    record "$name" "$@" "$work/$name.port" "$work/$name.times"
    for _ in $(seq 100); do kill -0 "$instrument_pid" 2>/dev/null || break; sleep 0.05; done
    kill "$instrument_pid" 2>/dev/null || true
    wait "$instrument_pid" 2>/dev/null || status=$?
    instrument_pid=
    if [ "$status" != 0 ]; then
      failed=1
      echo "bench: $name: the instruments failed (status $status): $(tail -n3 "$work/$name.instrument.err")" >&2
    fi
  }
  rack_host() {  # N, port file, times file
    env RIVU_SERIAL_PORTS="$(paste -sd';' "$2")" "$native/bench/rivu-bench" host --library "$native/librivu.so" \
      --times "$3" --rows "$paced_rows" --devices "$1"
  }
  rack_floor() {  # N, port file, times file
    "$native/bench/rivu-bench" floor --port-file "$2" --times "$3" --rows "$paced_rows" --devices "$1"
  }
  run_rack() {  # N
    rack_reader "rack-$1" "$1" rack_host "$1"
    rack_reader "floor-$1" "$1" rack_floor "$1"
  }
  for n in ${devices//,/ }; do run_rack "$n"; done

  header
  echo "rack: N instruments, each sending 10-channel rows paced at 115200 baud for about $seconds s, one host thread"
  echo "draining them in turn; per instrument: the median one-second CPU window of the readers divided by N"
  echo
  rack_row() { printf '| %7s | %8s | %5s | %10s | %10s | %6s | %7s | %7s | %12s | %9s |\n' "$@"; }
  rack_row devices rows/s lost "lib/inst %" "floor/inst" "ratio" "p50 ms" "p99 ms" "start max ms" "CloseAll ms"
  rack_row ------- -------- ----- ---------- ---------- ------ ------- ------- ------------ ---------
  for n in ${devices//,/ }; do
    [ -n "${results[rack-$n]+set}" ] && [ -n "${results[floor-$n]+set}" ] || continue
    line=${results[rack-$n]}; floor=${results[floor-$n]}
    lib=$(field "$line" library_cpu_median_per_device_pct); base=$(field "$floor" library_cpu_median_per_device_pct)
    ratio=$(awk -v a="$lib" -v b="$base" 'BEGIN { if (b > 0 && a >= 0) printf "%.2f", a / b; else print "-" }')
    rack_row "$n" "$(field "$line" rows_per_s)" "$(field "$line" lost)" "$lib" "$base" "$ratio" \
      "$(field "$line" p50_ms)" "$(field "$line" p99_ms)" "$(field "$line" start_max_ms)" "$(field "$line" close_ms)"
  done
  if [ "$failed" != 0 ]; then
    echo "INCOMPLETE: a run failed, lost samples or fell behind (see above); its rows are missing"
    echo "bench: a run failed, lost samples or fell behind (see above)" >&2
    exit 1
  fi
  exit 0
fi

run_native native-flood "$rows"
run_native native-line "$paced_rows" --paced
# The same paced rows from the same kind of instrument process, read by a bare
# thread: the least any reader costs here.
start_instrument floor-line "$paced_rows" --paced
record floor-line "$native/bench/rivu-bench" floor --port-file "$work/floor-line.port" --times "$work/floor-line.times" \
  --rows "$paced_rows"
stop_instrument

if [ "$skip_wine" = 0 ]; then
  export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  "$wine" wineboot --init >/dev/null 2>&1
  /usr/lib/wine/wineserver -w
  cp "$windows/tests/doubles/ftd2xx/ftd2xx_double.dll" "$WINEPREFIX/drive_c/windows/system32/ftd2xx.dll"
  run_wine wine-flood "$rows"
  run_wine wine-line "$paced_rows" --paced
fi

start_instrument pyserial-flood "$rows"
record pyserial-flood "$python" "$root/bench/pyserial_peer.py" --port "$port" --rows "$rows"
stop_instrument

header
echo "flood: $rows rows of 10 channels as fast as the line takes them; line rate: rows paced at 115200 baud"
echo
row() { printf '| %-14s | %7s | %8s | %9s | %9s | %7s | %5s | %9s | %9s | %7s | %7s |\n' "$@"; }
row run rows seconds rows/s bytes/s "x line" lost "lib CPU%" "1 s med%" "p50 ms" "p99 ms"
row -------------- ------- -------- --------- --------- ------- ----- --------- --------- ------- -------
for name in native-flood native-line floor-line wine-flood wine-line pyserial-flood; do
  [ -n "${results[$name]+set}" ] || continue
  line=${results[$name]}
  cpu_cell=-; median=-; p50=-; p99=-
  if [[ $name == *-line ]]; then
    cpu_cell=$(field "$line" library_cpu_pct); p50=$(field "$line" p50_ms); p99=$(field "$line" p99_ms)
    median=$(field "$line" library_cpu_median_pct)
    [[ $median == -* ]] && median=-  # the run was shorter than a second
  fi
  row "$name" "$(field "$line" rows)" "$(field "$line" seconds)" "$(field "$line" rows_per_s)" \
    "$(field "$line" bytes_per_s)" "$(field "$line" ratio)" "$(field "$line" lost)" "$cpu_cell" "$median" "$p50" "$p99"
done
if [ "$failed" != 0 ]; then
  echo "INCOMPLETE: a run failed or lost samples (see above); its row is missing"
  echo "bench: a run failed or lost samples (see above)" >&2
  exit 1
fi
