#!/usr/bin/env bash
# HTTP upload benchmark: tolvane put against curl doing the same work on the same receiver.
#   (a) 1,000 traces of 64 KiB in one process (tolvane: one put; curl: one process with --next)
#   (b) one 1 GiB trace (tolvane put against curl -X POST -T)
# Each pair alternates (bench/lib.sh); prints median times, their ratio and peak memory.
# Usage: bench/http.sh [count] [big-size-in-MiB]    (BENCH_RUNS=N for more pairs)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib.sh
count=${1:-1000}
big_mib=${2:-1024}
bench_build

mkdir -p "$work/small"
"$mktrace" --count "$count" --size 65536 "$work/small/t%05d.slt" >/dev/null
"$mktrace" --size $((big_mib * 1024 * 1024)) "$work/big.slt" >/dev/null

before() {
  start_receiver --http 0
  local port
  port=$(receiver_port http)
  export url="http://127.0.0.1:$port/post?token=$token"
  write_config "http://127.0.0.1:$port"
  # curl's config: the same files, one request each, in one process.
  if [[ $want -gt 1 ]]; then
    local f first=1
    for f in "$work"/small/*.slt; do
      ((first)) || echo next
      first=0
      printf 'url = "%s"\ndata-binary = "@%s"\noutput = /dev/null\nsilent\n' "$url" "$f"
    done >"$work/curl.cfg"
  fi
}
check() { [[ $(stored) -eq $want ]]; }
put="$bin -c $work/cf -C $work/home put bench bench"

want=$count
bench_compare "(a) $count x 64 KiB, one process" before check \
  "tolvane put" "$put $work/small/*.slt" "curl --next" "curl -K $work/curl.cfg"
want=1
bench_compare "(b) one $big_mib MiB trace" before check \
  "tolvane put" "$put $work/big.slt" "curl -X POST -T" \
  'curl -s -o /dev/null -X POST -T '"$work/big.slt"' "$url"'
echo "(tolvane maps a trace under 1 MiB whole, so its peak includes those pages, shared with the"
echo " page cache; a larger one is read through its file)"
