#!/usr/bin/env bash
# Slow-link benchmark: tolvane behind a shaped uplink, tolvane-relay standing between the
# uploader and the receiver (8 MiB/s up, 10 ms added each way, as a 64 Mbit/s uplink).
#   (a) one 256 MiB trace: tolvane put against curl -X POST -T over the same relay to the same
#       receiver, alternating (bench/lib.sh). The link is the limit, so the median ratio should
#       be at most 1.05; the link's own floor (size / rate) is printed beside the medians.
#   (b) the daemon alone (there is no peer doing its work to compare with): `tolvane daemon -f`
#       watching two directories, daemon.timeout 20 s, uploads one 1 GiB trace over HTTP through
#       the relay while 100 traces of 64 KiB arrive in the other directory and 100 in the big
#       trace's own one, one of each about every second during the big upload (they share the
#       link's rate with the big one, as on a real uplink).
#       Printed: p50, p99 and the most of each small trace's time from arrival (the moment it
#       was moved in) to stored (the ctime of the receiver's file, set when it is renamed into the store), per
#       directory; the big trace's number of attempts (relay connections that carried part of
#       it: must be 1) and the bytes the link carried beyond the traces; the daemon's peak
#       memory (its own VmHWM, and GNU time's %M, the most of it and each of its children).
#   (c) the rate cap on both transports, on loopback without the relay: one 64 MiB trace
#       capped at 8 MiB/s, HTTP against the session protocol with upload.max_rate = 8M, then
#       HTTP against the session protocol over TLS with put --limit-rate 8M, each pair
#       alternating; the achieved rate (size over put's median wall time) against the cap, which
#       must be within 10 %.
# Each target is printed as met or missed; the script fails (status 1) when one is missed.
# Usage: bench/link.sh [--quick] [--parts=abc] [a-MiB [b-MiB [b-count [c-MiB]]]]
#   defaults 256 1024 100 64; --quick: 16 64 10 16, a check that the script works (part (c) is
#   then shorter than the 5 s a cap is held to). BENCH_RUNS=N for more pairs; LINK_RATE=8M and
#   LINK_LATENCY_MS=10 shape the link, LINK_CAP=8M is part (c)'s cap.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n 's/^# Usage: /usage: /p' "$0" >&2; exit 2; }
parts=abc
sizes=(256 1024 100 64)
while (($# > 0)); do
  case $1 in
    --quick) sizes=(16 64 10 16) ;;
    --parts=*) parts=${1#--parts=} ;;
    -*) usage ;;
    *) break ;;
  esac
  shift
done
(($# <= 4)) || usage
for ((i = 0; $# > 0; i++)); do
  [[ $1 =~ ^[1-9][0-9]*$ ]] || usage
  sizes[i]=$1
  shift
done
[[ $parts =~ ^[abc]+$ ]] || usage
a_mib=${sizes[0]} b_mib=${sizes[1]} b_count=${sizes[2]} c_mib=${sizes[3]}
link_rate=${LINK_RATE:-8M}
link_latency=${LINK_LATENCY_MS:-10}
cap=${LINK_CAP:-8M}

. bench/lib.sh
bench_build

# Bytes per second from a rate with an optional K, M or G (powers of 1024), as the relay reads it.
rate_bytes() {
  local r=$1 shift=0
  case $r in
    *[Kk]) shift=10 ;;
    *[Mm]) shift=20 ;;
    *[Gg]) shift=30 ;;
  esac
  ((shift == 0)) || r=${r%?}
  echo $((r << shift))
}

# A target's verdict; a missed one makes the script fail at the end.
missed=0
target() {
  local what=$1 ok=$2
  if ((ok)); then
    echo "  target $what: met"
  else
    echo "  target $what: MISSED"
    missed=$((missed + 1))
  fi
}
# Microseconds since the epoch.
now_us() { local t=$EPOCHREALTIME; echo "${t/./}"; }

# (a) One big trace through the uplink, tolvane against curl.
part_a() {
  "$mktrace" --size $((a_mib * 1024 * 1024)) "$work/big.slt" >/dev/null
  before() {
    start_receiver --http 0
    start_relay "$(receiver_port http)" --up-rate "$link_rate" --latency-ms "$link_latency"
    export url="http://127.0.0.1:$relay_port/post?token=$token"
    write_config "http://127.0.0.1:$relay_port"
  }
  check() { [[ $(stored) -eq 1 ]]; }
  bench_compare "(a) one $a_mib MiB trace, uplink $link_rate/s, +$link_latency ms each way" \
    before check \
    "tolvane put" "$bin -c $work/cf -C $work/home put bench bench $work/big.slt" \
    "curl -X POST -T" 'curl -s -o /dev/null -X POST -T '"$work/big.slt"' "$url"'
  awk -v mib="$a_mib" -v rate="$(rate_bytes "$link_rate")" -v a="$med_a" -v b="$med_b" 'BEGIN {
    floor = mib * 1048576 / rate
    printf "  link floor %.3f s; tolvane %.2f MiB/s, curl %.2f MiB/s (%.1f%% and %.1f%% of the link)\n",
      floor, mib / a, mib / b, 100 * floor / a, 100 * floor / b }'
  target "time ratio <= 1.05 (the link is the limit)" "$(awk -v r="$ratio" 'BEGIN { print (r <= 1.05) }')"
  rm -f "$work/big.slt"
}

# p50, p99 (nearest rank) and the most of the numbers on standard input, in seconds.
percentiles() {
  sort -g | awk '{ v[NR] = $1 }
    function rank(p,  k) { k = int(p * NR); if (k < p * NR) k++; return v[k < 1 ? 1 : k] }
    END { if (NR == 0) print "none"; else printf "p50 %.2f s, p99 %.2f s, most %.2f s (%d traces)", rank(0.5), rank(0.99), v[NR], NR }'
}

# (b) The daemon: one big trace on the link while small ones arrive beside it and behind it.
part_b() {
  local b=$work/b small=65536 i dir path uuid big_uuid big_us last_us done_us limit smalls
  local rate big interval_us next wait_us
  rate=$(rate_bytes "$link_rate")
  big=$((b_mib * 1024 * 1024))
  smalls=$((2 * b_count))
  # The arrivals are spread over the first 80 % of the big upload's time on the link.
  interval_us=$((big * 800000 / rate / b_count))
  echo "(b) the daemon alone, no A/B peer: one $b_mib MiB trace on the uplink ($link_rate/s," \
    "+$link_latency ms each way, HTTP), $b_count x 64 KiB arriving in the other directory and" \
    "$b_count in the same one, one of each every $(awk -v u="$interval_us" 'BEGIN { printf "%.2f", u / 1e6 }') s" \
    "(all sharing the link)"
  mkdir -p "$b/stage" "$b/same" "$b/other"
  "$mktrace" --size "$big" "$b/stage/big.slt" >"$b/big.list"
  "$mktrace" --count "$smalls" --size "$small" "$b/stage/s%05d.slt" >"$b/small.list"
  read -r _ big_uuid _ <"$b/big.list"

  rx_keep=1
  start_receiver --http 0
  rx_keep=0
  start_relay "$(receiver_port http)" --up-rate "$link_rate" --latency-ms "$link_latency"
  write_config "http://127.0.0.1:$relay_port"
  printf '[general]\ndaemon.timeout = 20\n[daemon]\nsame.root = %s\nsame.token = bench\nother.root = %s\nother.token = bench\n' \
    "$b/same" "$b/other" >>"$work/cf"
  mv "$b/stage/big.slt" "$b/same/"
  local load0 tpid dpid
  load0=$(loadavg)
  # GNU time reports the most of the daemon and of each child it waited for; the daemon's own
  # peak is its VmHWM, read before it is stopped.
  setsid /usr/bin/time -f %M -o "$b/daemon.mem" "$bin" -c "$work/cf" -C "$work/home" daemon -f \
    >"$b/daemon.out" 2>"$b/daemon.err" &
  tpid=$!
  bench_pids+=("$tpid")

  # The big upload has begun once the receiver writes its body (the daemon's first tick is 5 s in).
  limit=$((SECONDS + 60))
  until [[ -n $(find "$work/store" -maxdepth 1 -name '.incoming-*' -size +0 2>/dev/null) ]]; do
    ((SECONDS < limit)) || { echo "bench: the daemon did not start the big upload" >&2; exit 1; }
    sleep 0.05
  done
  big_us=$(now_us)

  # One small trace into each directory per interval, on a schedule that does not drift.
  next=$big_us
  for ((i = 0; i < b_count; i++)); do
    for dir in other same; do
      read -r path uuid _
      mv "$path" "$b/$dir/"
      echo "$uuid $dir $EPOCHREALTIME" >>"$b/arrivals"
    done
    next=$((next + interval_us))
    wait_us=$((next - $(now_us)))
    ((wait_us <= 0)) || sleep "$(printf '%d.%06d' $((wait_us / 1000000)) $((wait_us % 1000000)))"
  done <"$b/small.list"
  last_us=$(now_us)

  # Until everything is stored and gone from the watched directories.
  limit=$((SECONDS + 3 * big / rate + 120))
  while true; do
    local kept left
    kept=$(find "$work/store" -maxdepth 1 -name '*.slt' | wc -l)
    left=$(find "$b/same" "$b/other" -name '*.slt' | wc -l)
    ((kept < smalls + 1 || left > 0)) || break
    if ((SECONDS > limit)); then
      echo "bench: gave up waiting: $kept of $((smalls + 1)) stored, $left left in the directories" >&2
      break
    fi
    sleep 0.5
  done
  done_us=$(now_us)

  dpid=$(pgrep -P "$tpid" || true)
  local hwm=0 peak
  [[ -z $dpid ]] || hwm=$(awk '$1 == "VmHWM:" { print $2 }' "/proc/$dpid/status")
  [[ -z $dpid ]] || kill -TERM "$dpid"
  wait "$tpid" 2>/dev/null || true
  bench_pids=()
  peak=$(tail -n 1 "$b/daemon.mem")
  bench_end "$relay_pid"  # each connection's bytes are logged once it closes
  relay_pid=

  find "$work/store" -maxdepth 1 -name '*.slt' -printf '%f %C@\n' | sed 's/\.slt / /' >"$b/stored"
  # uuid dir arrival + uuid stored-time -> dir seconds
  awk 'NR == FNR { at[$1] = $2; next } ($1 in at) { print $2, at[$1] - $3 }' \
    "$b/stored" "$b/arrivals" >"$b/latency"
  local big_at big_secs lat_other lat_same missing conns attempts up waste stored_big timed_out
  big_at=$(awk -v u="$big_uuid" '$1 == u { print $2 }' "$b/stored")
  big_secs=$(awk -v a="$big_at" -v t="$big_us" 'BEGIN { if (a == "") print "never"; else printf "%.1f s", a - t / 1e6 }')
  lat_other=$(awk '$1 == "other" { print $2 }' "$b/latency" | percentiles)
  lat_same=$(awk '$1 == "same" { print $2 }' "$b/latency" | percentiles)
  missing=$((smalls - $(wc -l <"$b/latency")))
  # A connection with more bytes up than all the small traces together carried part of the big
  # one; anything the link carried beyond one copy of each trace is HTTP's framing or waste.
  conns=$(grep -c ' closed: ' "$work/relay.log" || true)
  attempts=$(awk -v s=$((smalls * small)) '$3 == "closed:" && $4 > s { n++ } END { print n + 0 }' "$work/relay.log")
  up=$(awk '$3 == "closed:" { n += $4 } END { printf "%.0f", n }' "$work/relay.log")
  waste=$((up - big - smalls * small))
  stored_big=$(grep -c -- "-> 200 stored $big_uuid\$" "$work/rx.log" || true)
  timed_out=$(grep -c 'timed out' "$b/daemon.err" || true)

  echo "  big trace: stored $big_secs after its upload began (link floor $(awk -v b="$big" -v r="$rate" 'BEGIN { printf "%.1f", b / r }') s); the last small trace arrived $(awk -v a="$last_us" -v t="$big_us" 'BEGIN { printf "%.1f", (a - t) / 1e6 }') s in"
  echo "  arrival to stored, other directory: $lat_other"
  echo "  arrival to stored, same directory:  $lat_same"
  printf '  big trace: %d attempt(s) (relay connections that carried part of it), stored %d time(s)\n' \
    "$attempts" "$stored_big"
  printf '  the link carried %d bytes up over %d connections, %d beyond the traces themselves (%d per upload)\n' \
    "$up" "$conns" "$waste" $((waste / (smalls + 1)))
  printf '  daemon peak memory: %d KiB (VmHWM); with its children (GNU time %%M): %d KiB\n' "$hwm" "$peak"
  printf '  small traces not stored: %d; daemon lines on stderr: %d, "timed out" among them: %d\n' \
    "$missing" "$(wc -l <"$b/daemon.err")" "$timed_out"
  head -n 5 "$b/daemon.err" | sed 's/^/    daemon: /'
  printf '  all done %.1f s after the big upload began (load %s before, %s after)\n' \
    "$(awk -v a="$done_us" -v t="$big_us" 'BEGIN { print (a - t) / 1e6 }')" "$load0" "$(loadavg)"
  target "big trace in 1 attempt" $((attempts == 1 && stored_big == 1))
  target "every small trace stored" $((missing == 0))
  [[ -n $big_at ]] && awk -v a="$big_at" -v l="$last_us" 'BEGIN { exit !(a > l / 1e6) }' ||
    echo "  note: the big trace was stored before the last small one arrived"
  bench_end "$receiver_pid"
  receiver_pid=
  rm -rf "$work/store" "$b"
}

# (c) The cap on each transport: HTTP against the session protocol, plain with the key, over
# TLS with the option.
part_c() {
  local cap_bytes
  cap_bytes=$(rate_bytes "$cap")
  "$mktrace" --size $((c_mib * 1024 * 1024)) "$work/c.slt" >/dev/null
  # Configurations for each transport, the cap as the key (.key) or not (.opt).
  before() {
    start_receiver --http 0 --session 0 --session-tls 0
    local kind general
    for kind in key opt; do
      general=
      [[ $kind == opt ]] || general="[general]
upload.max_rate = $cap
"
      write_config "http://127.0.0.1:$(receiver_port http)"
      printf '%s' "$general" >>"$work/cf" && mv "$work/cf" "$work/cf.http.$kind"
      write_config "127.0.0.1:$(receiver_port session)"
      printf '%s' "$general" >>"$work/cf" && mv "$work/cf" "$work/cf.session.$kind"
      write_config "127.0.0.1:$(receiver_port session-tls)" 'ssl = true
'
      printf '%s' "$general" >>"$work/cf" && mv "$work/cf" "$work/cf.tls.$kind"
    done
  }
  check() { [[ $(stored) -eq 1 ]]; }
  # The achieved rate from the median time, and the target.
  rates() {
    local name=$1 med=$2 r
    r=$(awk -v m="$c_mib" -v t="$med" -v c="$cap_bytes" \
      'BEGIN { r = m * 1048576 / t / c; printf "%.2f MiB/s, %.3f of the cap", m / t, r }')
    echo "  $name: $r"
    target "$name within 10 % of the cap" \
      "$(awk -v m="$c_mib" -v t="$med" -v c="$cap_bytes" 'BEGIN { r = m * 1048576 / t / c; print (r >= 0.9 && r <= 1.1) }')"
  }
  local put="$bin -C $work/home -c $work/cf"
  bench_compare "(c) one $c_mib MiB trace, upload.max_rate = $cap, loopback" before check \
    "HTTP" "$put.http.key put bench bench $work/c.slt" \
    "session" "$put.session.key put bench bench $work/c.slt"
  rates "HTTP, upload.max_rate" "$med_a"
  rates "session, upload.max_rate" "$med_b"
  bench_compare "(c) one $c_mib MiB trace, put --limit-rate $cap, loopback" before check \
    "HTTP" "$put.http.opt put --limit-rate $cap bench bench $work/c.slt" \
    "session TLS" "$put.tls.opt put --limit-rate $cap bench bench $work/c.slt"
  rates "HTTP, --limit-rate" "$med_a"
  rates "session TLS, --limit-rate" "$med_b"
  rm -f "$work/c.slt"
}

[[ $parts != *a* ]] || part_a
[[ $parts != *b* ]] || part_b
[[ $parts != *c* ]] || part_c
((missed == 0)) || { echo "bench: $missed target(s) missed" >&2; exit 1; }
