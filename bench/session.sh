#!/usr/bin/env bash
# Session upload benchmark: tolvane put against peers that send the very bytes it sends (captured
# once through socat -r) to the same receiver port:
#   (a) one 1 GiB trace and (b) 1,000 traces of 64 KiB in one put, over the plain protocol,
#       against bench/sendwire.c (sendfile(2) of the bytes) and against socat;
#   (c) one 1 GiB trace over TLS against socat's OPENSSL address, with tolvane's peak memory
#       there against its peak over the plain protocol.
# A peer pushes all its commands at once where tolvane waits for each answer before the next
# command, as the protocol asks of it. Each pair alternates (bench/lib.sh) with a fresh
# receiver, so the same UUIDs are new to it every run.
# Usage: bench/session.sh [count] [big-size-in-MiB]    (BENCH_RUNS=N for more pairs)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib.sh
count=${1:-1000}
big_mib=${2:-1024}
bench_build
cc -O2 -Wall -Wextra -Werror -o "$work/sendwire" bench/sendwire.c
# socat moves 8 KiB at a time unless told otherwise; 128 KiB is its best here.
socat="socat -b 131072"

mkdir -p "$work/small"
"$mktrace" --count "$count" --size 65536 "$work/small/t%05d.slt" >/dev/null
"$mktrace" --size $((big_mib * 1024 * 1024)) "$work/big.slt" >/dev/null
put="$bin -c $work/cf -C $work/home put bench bench"

plain() {
  start_receiver --session 0
  export port=$(receiver_port session)
  write_config "127.0.0.1:$port"
}
tls() {
  start_receiver --session-tls 0
  export port=$(receiver_port session-tls)
  write_config "127.0.0.1:$port" 'ssl = true
'
}
check() { [[ $(stored) -eq $want ]]; }

# What tolvane sends for `files`, into $work/NAME.wire: put through a socat that relays to the
# receiver and records the bytes going there.
capture() {
  local name=$1 files=$2 relay_pid relay_port _
  plain
  setsid socat -d -d -r "$work/$name.wire" TCP-LISTEN:0,bind=127.0.0.1 "TCP:127.0.0.1:$port" \
    2>"$work/relay.log" &
  relay_pid=$!
  for _ in $(seq 200); do grep -q 'listening on' "$work/relay.log" && break; sleep 0.02; done
  relay_port=$(sed -n 's/.* listening on .*:\([0-9]*\)$/\1/p' "$work/relay.log")
  write_config "127.0.0.1:$relay_port"
  $put $files >/dev/null
  wait "$relay_pid"
  [[ $(stored) -eq $want ]] || { echo "bench: capturing $name stored $(stored) of $want" >&2; exit 1; }
}

want=1
capture big "$work/big.slt"
bench_compare "(a) one $big_mib MiB trace, plain" plain check \
  "tolvane put" "$put $work/big.slt" "sendfile client" "$work/sendwire \$port $work/big.wire"
bench_compare "(a) one $big_mib MiB trace, plain" plain check \
  "tolvane put" "$put $work/big.slt" "socat" "$socat - TCP:127.0.0.1:\$port <$work/big.wire"
plain_peak=$peak_a
bench_compare "(c) one $big_mib MiB trace, TLS" tls check \
  "tolvane put" "$put $work/big.slt" "socat OPENSSL" \
  "$socat - OPENSSL:127.0.0.1:\$port,verify=0 <$work/big.wire"
echo "  tolvane peak over TLS less over plain: $(( (peak_a - plain_peak) / 1024 )) MiB (target <= 32)"
rm -f "$work/big.wire"

want=$count
capture small "$work/small/*.slt"
bench_compare "(b) $count x 64 KiB, one put, plain" plain check \
  "tolvane put" "$put $work/small/*.slt" "sendfile client" "$work/sendwire \$port $work/small.wire"
bench_compare "(b) $count x 64 KiB, one put, plain" plain check \
  "tolvane put" "$put $work/small/*.slt" "socat" "$socat - TCP:127.0.0.1:\$port <$work/small.wire"
