#!/usr/bin/env bash
# Daemon benchmark: `tolvane daemon -f` uploads [count] small traces (1 KiB) to the receiver,
# half of them present at start and half moved into the watched directory in chunks while it
# runs. Measured: the time until every trace is stored and gone from the directory, the
# daemon's peak memory, that nothing is lost or stored twice, and the daemon's CPU use while
# idle. The peer, in the same run: the same files uploaded by `tolvane put -u` runs of 1,024
# files each (xargs), the most the daemon gives one child, to a fresh receiver.
# Usage: bench/daemon.sh [count] [idle-seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib.sh
count=${1:-100000}
idle=${2:-60}
bench_build

daemon_pid= mover_pid= peer_pid=
daemon_cleanup() {
  trap '' INT TERM PIPE
  bench_end "$mover_pid"; bench_end "$peer_pid"; bench_end "$daemon_pid"
  bench_cleanup
}
trap daemon_cleanup EXIT

# A fresh receiver that keeps what it stores, in $work/NAME, and logs each answer to
# $work/NAME.log (it refuses a UUID it has seen).
start_store_receiver() {
  bench_end "$receiver_pid"
  rm -f "$work/rx.out"
  setsid "$receiver" --store "$work/$1" --token "$token" --http 0 \
    >"$work/rx.out" 2>"$work/$1.log" &
  receiver_pid=$!
  for _ in $(seq 100); do grep -qx ready "$work/rx.out" && break; sleep 0.05; done
  write_config "http://127.0.0.1:$(receiver_port http)"
  printf '[daemon]\nbench.root = %s\nbench.token = bench\n' "$work/watch" >>"$work/cf"
}
stored_in() { grep -c -- '-> 200 stored ' "$work/$1.log" || true; }
refused() { grep -c -- '-> 409 duplicate ' "$work/$1.log" || true; }
now() { date +%s.%N; }
field() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

echo "generating $count traces of 1 KiB..."
mkdir -p "$work/gen" "$work/watch" "$work/late"
"$mktrace" --count "$count" --size 1024 "$work/gen/t%06d.slt" >/dev/null
cp -al "$work/gen" "$work/base"  # the peer's copy: hard links to the same files
half=$((count / 2))
(cd "$work/gen" && ls -f | grep '\.slt$' | sort >"$work/names")
head -n "$half" "$work/names" | (cd "$work/gen" && xargs mv -t "$work/watch")
tail -n +"$((half + 1))" "$work/names" | (cd "$work/gen" && xargs mv -t "$work/late")
(cd "$work/late" && ls -f | grep '\.slt$' | split -l 1000 - "$work/chunk.")

# The daemon: starts with half of the traces; the rest arrive 1,000 at a time every 0.2 s.
start_store_receiver store
setsid "$bin" -c "$work/cf" -C "$work/home" daemon -f >"$work/daemon.out" 2>"$work/daemon.err" &
daemon_pid=$!
t0=$(now)
(for c in "$work"/chunk.*; do (cd "$work/late" && xargs mv -t "$work/watch" <"$c"); sleep 0.2; done) &
mover_pid=$!
limit=$((SECONDS + 1200))
while true; do
  left=$(( $(ls -f "$work/watch" "$work/late" | grep -c '\.slt$' || true) ))
  done_count=$(stored_in store)
  if ((left == 0 && done_count >= count)); then break; fi
  if ((SECONDS > limit)); then
    echo "daemon: gave up after 1200 s: $left traces left, $done_count stored" >&2
    exit 1
  fi
  sleep 0.1
done
t1=$(now)
wait "$mover_pid" 2>/dev/null || true
mover_pid=
d_secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')
d_hwm=$(field "$daemon_pid" VmHWM)
d_files=$(find "$work/store" -name '*.slt' | wc -l)
d_stored=$(stored_in store)
d_refused=$(refused store)
d_lines=$(wc -l <"$work/daemon.out")
d_messages=$(wc -l <"$work/daemon.err")

echo "daemon done in ${d_secs}s; measuring idle CPU for ${idle}s..."
hz=$(getconf CLK_TCK)
c0=$(cpu_ticks "$daemon_pid")
sleep "$idle"
c1=$(cpu_ticks "$daemon_pid")
idle_pct=$(awk -v d=$((c1 - c0)) -v hz="$hz" -v s="$idle" 'BEGIN { printf "%.3f", 100 * d / hz / s }')
bench_end "$daemon_pid"
daemon_pid=

# The peer: the same files, put -u in runs of 1,024, to a fresh receiver.
start_store_receiver store2
p0=$(now)
setsid /usr/bin/time -f '%M' -o "$work/time" sh -c \
  'find "$1" -name "*.slt" -print0 | xargs -0 -n 1024 "$2" -c "$3" -C "$4" put -u bench bench' \
  sh "$work/base" "$bin" "$work/cf" "$work/home" >"$work/put.out" 2>"$work/put.err" &
peer_pid=$!
wait "$peer_pid"
p1=$(now)
peer_pid=
p_secs=$(awk -v a="$p0" -v b="$p1" 'BEGIN { printf "%.2f", b - a }')
p_kib=$(cat "$work/time")
p_lines=$(wc -l <"$work/put.out")
p_left=$(find "$work/base" -name '*.slt' | wc -l)

ratio=$(awk -v a="$d_secs" -v b="$p_secs" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
lost=$((count - d_files))
cat <<EOF

daemon benchmark, $count traces of 1 KiB ($half at start, the rest moved in 1,000 every 0.2 s)
  daemon: all stored and deleted in ${d_secs}s ($(awk -v a="$d_secs" 'BEGIN { printf "%.2f", a - 5 }')s after its first tick), $d_lines result lines
  put -u in runs of 1,024 (xargs): ${p_secs}s, $p_lines result lines, $p_left left, peak ${p_kib} KiB per put
  time ratio daemon/put: $ratio
  daemon peak memory (VmHWM): $d_hwm KiB
  stored by the receiver: $d_files files, $d_stored stored answers, $d_refused refused as duplicates
  lost: $lost, left in the directory: 0, daemon messages on stderr: $d_messages
  daemon CPU while idle: ${idle_pct}% of one core over ${idle}s (target < 0.5%)
EOF
((lost == 0 && d_refused == 0 && d_stored == count && d_lines == count && p_lines == count)) || { echo "FAILED" >&2; exit 1; }
