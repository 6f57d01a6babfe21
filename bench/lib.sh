# Shared by the benchmarks (sourced after `cd` to the repository): a Release build of their own,
# a scratch directory, the receiver, the shaping relay, and the runner that compares two
# commands.
#
#   bench_compare LABEL BEFORE CHECK NAME_A COMMAND_A NAME_B COMMAND_B
#
# runs the two shell commands alternately (A B A B ...): one warm-up pair, then $BENCH_RUNS
# (default 5, at least 5) measured pairs. BEFORE runs before every run (a fresh receiver, say);
# CHECK runs after it with the name and fails the benchmark when the run did not do its work.
# Commands see their output in $work/out and $work/err. It prints for each command the median
# wall time, its peak resident memory (GNU time's %M, the most over all runs) and every run's
# time, then the median of the per-pair ratios A/B, with the load average before and after.
set -euo pipefail

bench_runs=${BENCH_RUNS:-5}
((bench_runs >= 5)) || { echo "bench: BENCH_RUNS must be at least 5" >&2; exit 2; }

# Release binaries in build/bench, configured without tests, so the build directories of
# scripts/build (and their test targets) stay as they are.
bench_build() {
  scripts/setup
  dir=build/bench
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLVANE_TESTS=OFF >/dev/null
  cmake --build "$dir" >/dev/null
  bin=$PWD/$dir/tolvane
  receiver=$PWD/$dir/tools/receiver/tolvane-receiver
  mktrace=$PWD/$dir/tools/mktrace/tolvane-mktrace
  relay=$PWD/$dir/tools/relay/tolvane-relay
}

work=$(mktemp -d /tmp/tolvane-bench.XXXXXX)
bench_pids=()
# Ends a process started here; one started with setsid leads a group, which goes with it.
bench_end() {
  local pid=$1
  [[ -n "$pid" ]] || return 0
  kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
bench_cleanup() {
  trap '' INT TERM PIPE
  local pid
  for pid in "${bench_pids[@]}"; do bench_end "$pid"; done
  bench_end "${relay_pid:-}"
  bench_end "${receiver_pid:-}"
  rm -rf "$work"
}
trap bench_cleanup EXIT
trap 'exit 1' INT TERM
token=$(od -An -tx1 -N32 /dev/urandom | tr -d ' \n')

# A fresh receiver storing nothing (it refuses a UUID it has seen, so every run needs one),
# listening as its arguments say ("--http 0", say); its log goes to $work/rx.log. With
# rx_keep=1 it keeps what it stores, as $work/store/<uuid>.slt (renamed there when stored, so
# the file's ctime is the moment it was stored).
receiver_pid=
rx_keep=0
start_receiver() {
  bench_end "$receiver_pid"
  rm -f "$work/rx.out"
  local discard=--discard
  ((rx_keep == 0)) || discard=
  setsid "$receiver" --store "$work/store" --token "$token" $discard "$@" \
    >"$work/rx.out" 2>"$work/rx.log" &
  receiver_pid=$!
  local _
  for _ in $(seq 200); do grep -qx ready "$work/rx.out" 2>/dev/null && break; sleep 0.02; done
  grep -qx ready "$work/rx.out" || { echo "bench: the receiver did not start" >&2; exit 1; }
}
# The port the receiver took for a listener kind (http, https, session, session-tls).
receiver_port() { awk -v k="$1" '$1 == k { print $2 }' "$work/rx.out"; }
# A fresh shaping relay on an ephemeral 127.0.0.1 port, forwarding to 127.0.0.1:$1 as the other
# arguments say (--up-rate 8M --latency-ms 10, say); its log goes to $work/relay.log. Sets
# $relay_port.
relay_pid=
start_relay() {
  bench_end "$relay_pid"
  rm -f "$work/relay.out"
  local to=$1
  shift
  setsid "$relay" --to "127.0.0.1:$to" "$@" >"$work/relay.out" 2>"$work/relay.log" &
  relay_pid=$!
  local _
  for _ in $(seq 200); do grep -qx ready "$work/relay.out" 2>/dev/null && break; sleep 0.02; done
  grep -qx ready "$work/relay.out" || { echo "bench: the relay did not start" >&2; exit 1; }
  relay_port=$(awk '$1 == "relay" { print $2 }' "$work/relay.out")
}

# Traces the receiver has stored (answered as stored) since it started.
stored() { grep -cE -- '-> (200 )?stored ' "$work/rx.log" || true; }

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
loadavg() { cut -d' ' -f1-3 /proc/loadavg; }

# One run of a command: sets run_secs and run_kib.
bench_run() {
  local t0 t1
  t0=$EPOCHREALTIME
  if ! /usr/bin/time -f %M -o "$work/mem" sh -c "$1" >"$work/out" 2>"$work/err"; then
    echo "bench: failed: $1" >&2
    head -c 2000 "$work/err" >&2
    exit 1
  fi
  t1=$EPOCHREALTIME
  run_secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
  run_kib=$(tail -n 1 "$work/mem")
}

bench_compare() {
  local label=$1 before=$2 check=$3 name_a=$4 cmd_a=$5 name_b=$6 cmd_b=$7
  local load0 i times_a=() times_b=() ratios=() kib_a=0 kib_b=0 secs_a
  load0=$(loadavg)
  echo "$label"
  for ((i = 0; i <= bench_runs; i++)); do
    $before
    bench_run "$cmd_a"
    $check "$name_a" || { echo "bench: $name_a did not do its work" >&2; exit 1; }
    secs_a=$run_secs
    ((i == 0)) || { times_a+=("$run_secs"); ((run_kib > kib_a)) && kib_a=$run_kib; }
    $before
    bench_run "$cmd_b"
    $check "$name_b" || { echo "bench: $name_b did not do its work" >&2; exit 1; }
    ((i == 0)) && continue  # the warm-up pair
    times_b+=("$run_secs")
    ((run_kib > kib_b)) && kib_b=$run_kib
    ratios+=("$(awk -v a="$secs_a" -v b="$run_secs" 'BEGIN { printf "%.4f", a / b }')")
  done
  med_a=$(printf '%s\n' "${times_a[@]}" | median)
  med_b=$(printf '%s\n' "${times_b[@]}" | median)
  ratio=$(printf '%s\n' "${ratios[@]}" | median)
  peak_a=$kib_a peak_b=$kib_b
  printf '  %-26s median %7.3f s  peak %8d KiB  runs %s\n' "$name_a" "$med_a" "$kib_a" "${times_a[*]}"
  printf '  %-26s median %7.3f s  peak %8d KiB  runs %s\n' "$name_b" "$med_b" "$kib_b" "${times_b[*]}"
  printf '  time ratio %s/%s: median %.2f over %d pairs (load %s before, %s after)\n' \
    "$name_a" "$name_b" "$ratio" "$bench_runs" "$load0" "$(loadavg)"
}

# A universe "bench" writing to `write` ($1) with more universe lines ($2), and the token.
write_config() {
  printf '[universe]\nname = bench\nwrite = %s\n%s[token]\nbench = %s\n' "$1" "${2:-}" "$token" \
    >"$work/cf"
}
