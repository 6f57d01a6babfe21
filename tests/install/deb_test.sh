#!/usr/bin/env bash
# Builds the Debian package, lists its contents and dependencies, unpacks it into a temporary
# root and runs the unpacked programs from there: --version and a real put to the receiver.
# Usage: deb_test.sh <build-dir>
set -euo pipefail
build=$1
work=$(mktemp -d /tmp/tolvane-deb.XXXXXX)
receiver_pid=
cleanup() {
  [[ -n $receiver_pid ]] && kill "$receiver_pid" 2>/dev/null && wait "$receiver_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >/dev/null)
deb=$(ls "$work"/out/*.deb)
echo "package: $(basename "$deb")"
dpkg-deb -c "$deb" | awk '{ print $6 }' | tee "$work/contents"
for f in ./usr/bin/tolvane ./usr/share/man/man1/tolvane.1 ./usr/lib/systemd/system/tolvane-daemon.service \
         ./usr/share/bash-completion/completions/tolvane; do
  grep -qx -- "$f" "$work/contents" || fail "$f missing from the package"
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: $depends"
for lib in libuv1 libcurl4 libjson-c5 libssl3 libc6; do
  [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib"
done

dpkg-deb -x "$deb" "$work/root"
bin=$work/root/usr/bin
[[ $("$bin/tolvane" --version) == "tolvane version 1.61.114" ]] || fail "unpacked tolvane --version"

token=$(od -An -tx1 -N32 /dev/urandom | tr -d ' \n')
"$bin/tolvane-receiver" --store "$work/store" --token "$token" --http 0 >"$work/rx.out" 2>/dev/null &
receiver_pid=$!
for _ in $(seq 100); do grep -qx ready "$work/rx.out" && break; sleep 0.05; done
port=$(awk '$1 == "http" { print $2 }' "$work/rx.out")
printf '[universe]\nname = deb\nwrite = http://127.0.0.1:%s\n[token]\nt = %s\n' "$port" "$token" >"$work/cf"
line=$("$bin/tolvane-mktrace" "$work/t.slt")
uuid=$(echo "$line" | awk '{ print $2 }')
out=$("$bin/tolvane" -c "$work/cf" -C "$work/home" put -u p t "$work/t.slt")
[[ $out == *" => $uuid" ]] || fail "put printed '$out'"
[[ -f $work/store/$uuid.slt && ! -e $work/t.slt ]] || fail "the trace was not stored and removed"
echo "deb: built, listed, unpacked; tolvane --version and put work from the unpacked root"
