#!/usr/bin/env bash
# HTTP upload benchmark: tolvane put against curl doing the same work on the same receiver.
#   (a) 1,000 traces of 64 KiB in one process (tolvane: one put; curl: one process with --next)
#   (b) one 1 GiB trace (tolvane put against curl -X POST -T)
# Prints wall time, the ratio tolvane/curl and the peak resident memory of each.
# Usage: bench/http.sh [count] [big-size-in-MiB]
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-1000}
big_mib=${2:-1024}
scripts/setup
dir=build/release
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLVANE_TESTS=OFF >/dev/null
cmake --build "$dir" >/dev/null

work=$(mktemp -d /tmp/tolvane-bench.XXXXXX)
receiver_pid=
stop_receiver() {
  if [[ -n "$receiver_pid" ]]; then kill "$receiver_pid" 2>/dev/null || true; wait "$receiver_pid" 2>/dev/null || true; fi
  receiver_pid=
}
trap 'stop_receiver; rm -rf "$work"' EXIT
token=$(od -An -tx1 -N32 /dev/urandom | tr -d ' \n')

# A fresh receiver for every run: it refuses a UUID it has seen, and keeps nothing (--discard).
start_receiver() {
  stop_receiver
  rm -f "$work/rx.out"
  "$dir/tools/receiver/tolvane-receiver" --store "$work/store" --token "$token" --http 0 --discard \
    >"$work/rx.out" 2>/dev/null &
  receiver_pid=$!
  for _ in $(seq 100); do grep -qx ready "$work/rx.out" && break; sleep 0.05; done
  port=$(awk '$1 == "http" { print $2 }' "$work/rx.out")
  url="http://127.0.0.1:$port/post?token=$token"
  printf '[universe]\nname = bench\nwrite = http://127.0.0.1:%s\n[token]\nbench = %s\n' "$port" "$token" >"$work/cf"
}

# Runs a command under GNU time; sets secs and kib. The command's output goes to $work/out.
measure() {
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" >"$work/out" 2>"$work/err" || { cat "$work/err" >&2; exit 1; }
  read -r secs kib <"$work/time"
}

report() {
  printf '%-34s tolvane %7.2fs %8d KiB | curl %7.2fs %8d KiB | time ratio tolvane/curl %.2f\n' \
    "$1" "$2" "$3" "$4" "$5" "$(awk -v a="$2" -v b="$4" 'BEGIN { printf "%.4f", (b > 0 ? a / b : 0) }')"
}

mkdir -p "$work/small" "$work/store"
"$dir/tools/mktrace/tolvane-mktrace" --count "$count" --size 65536 "$work/small/t%05d.slt" >/dev/null
"$dir/tools/mktrace/tolvane-mktrace" --size $((big_mib * 1024 * 1024)) "$work/big.slt" >/dev/null

start_receiver
measure "$dir/tolvane" -c "$work/cf" -C "$work/home" put bench bench "$work"/small/*.slt
[[ $(wc -l <"$work/out") -eq $count ]] || { echo "tolvane stored $(wc -l <"$work/out") of $count" >&2; exit 1; }
t_secs=$secs t_kib=$kib
start_receiver
{
  first=1
  for f in "$work"/small/*.slt; do
    ((first)) || echo next
    first=0
    printf 'url = "%s"\ndata-binary = "@%s"\noutput = /dev/null\nsilent\nwrite-out = "%%{http_code}\\n"\n' "$url" "$f"
  done
} >"$work/curl.cfg"
measure curl -K "$work/curl.cfg"
[[ $(grep -c '^200$' "$work/out") -eq $count ]] || { echo "curl stored $(grep -c '^200$' "$work/out") of $count" >&2; exit 1; }
report "(a) $count x 64 KiB, one process" "$t_secs" "$t_kib" "$secs" "$kib"

start_receiver
measure "$dir/tolvane" -c "$work/cf" -C "$work/home" put bench bench "$work/big.slt"
[[ $(wc -l <"$work/out") -eq 1 ]] || { echo "tolvane did not store the big trace" >&2; exit 1; }
t_secs=$secs t_kib=$kib
start_receiver
measure curl -s -o /dev/null -w '%{http_code}' -X POST -T "$work/big.slt" "$url"
[[ $(cat "$work/out") == 200 ]] || { echo "curl got status $(cat "$work/out")" >&2; exit 1; }
report "(b) one ${big_mib} MiB trace" "$t_secs" "$t_kib" "$secs" "$kib"
echo "(tolvane maps each trace whole, so its peak includes the file's pages, shared with the page cache)"
