#!/usr/bin/env bash
# Builds the two Debian packages and checks them: what each holds and depends on, lintian finds
# no error, the packed service unit starts a program the package holds, verifies and rates as
# hardened; then unpacks both into a temporary root and runs the programs from there:
# --version and a real put to the receiver.
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
# The highest exposure `systemd-analyze security` may give the packed unit (0 safe, 10 unsafe).
max_exposure=3.0

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.out" 2>&1) ||
  fail "cpack: $(cat "$work/cpack.out")"
main=$work/out/tolvane_1.61.114_amd64.deb
tools=$work/out/tolvane-tools_1.61.114_amd64.deb
[[ -f $main && -f $tools ]] || fail "packages built: $(cd "$work/out" && echo *.deb)"
[[ $(ls "$work"/out/*.deb | wc -l) == 2 ]] || fail "packages built: $(cd "$work/out" && echo *.deb)"

# Contents: the program and what belongs to it in one package, the tools in the other, the test
# relay in neither.
contents() { dpkg-deb -c "$1" | awk '{ print $6 }'; }
contents "$main" >"$work/main.contents"
contents "$tools" >"$work/tools.contents"
for f in ./usr/bin/tolvane ./usr/share/man/man1/tolvane.1.gz ./usr/share/man/man5/tolvane.cf.5.gz \
         ./usr/lib/systemd/system/tolvane-daemon.service ./usr/lib/tmpfiles.d/tolvane.conf \
         ./usr/share/bash-completion/completions/tolvane ./usr/share/doc/tolvane/copyright \
         ./usr/share/doc/tolvane/changelog.gz; do
  grep -qx -- "$f" "$work/main.contents" || fail "$f missing from tolvane"
done
for f in ./usr/bin/tolvane-receiver ./usr/bin/tolvane-mktrace ./usr/share/man/man1/tolvane-receiver.1.gz \
         ./usr/share/man/man1/tolvane-mktrace.1.gz ./usr/share/doc/tolvane-tools/copyright \
         ./usr/share/doc/tolvane-tools/changelog.gz; do
  grep -qx -- "$f" "$work/tools.contents" || fail "$f missing from tolvane-tools"
done
grep -x './usr/bin/tolvane-.*' "$work/main.contents" && fail "tolvane holds a tool"
grep -q 'tolvane-relay' "$work/main.contents" "$work/tools.contents" && fail "the test relay is packed"
depends=$(dpkg-deb -f "$main" Depends)
echo "depends: $depends"
for lib in libuv1 libcurl4 libjson-c5 libssl3 libc6 procps; do
  [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib"
done
dpkg-deb -e "$main" "$work/control"
for script in postinst prerm postrm; do
  [[ -x $work/control/$script ]] || fail "no executable $script in tolvane"
  sh -n "$work/control/$script" || fail "$script does not parse"
done

if command -v lintian >/dev/null; then
  # Errors fail the test; warnings and notes are shown.
  lintian --fail-on error "$main" "$tools" >"$work/lintian.out" 2>&1 ||
    fail "lintian: $(cat "$work/lintian.out")"
  grep '^[EWI]:' "$work/lintian.out" || true
else
  echo "lintian not found: the packages were not linted"
fi

dpkg-deb -x "$main" "$work/root"
dpkg-deb -x "$tools" "$work/root"
unit=$work/root/usr/lib/systemd/system/tolvane-daemon.service
exec_start=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
[[ $exec_start == /usr/bin/tolvane ]] || fail "unit ExecStart names $exec_start"
[[ -x $work/root$exec_start ]] || fail "unit ExecStart $exec_start is not in the package"
if command -v systemd-analyze >/dev/null; then
  # Verified with its command and manual pages taken from the unpacked package.
  mkdir "$work/verify"
  sed "s|^ExecStart=/usr/bin/|ExecStart=$work/root/usr/bin/|" "$unit" >"$work/verify/tolvane-daemon.service"
  out=$(MANPATH=$work/root/usr/share/man systemd-analyze verify "$work/verify/tolvane-daemon.service" 2>&1) ||
    fail "systemd-analyze verify: $out"
  [[ -z $out ]] || fail "systemd-analyze verify: $out"
  systemd-analyze security --offline=true "$unit" >"$work/security.out" 2>&1 ||
    fail "systemd-analyze security: $(cat "$work/security.out")"
  exposure=$(sed -n 's/^→ Overall exposure level for tolvane-daemon.service: \([0-9.]*\) .*/\1/p' "$work/security.out")
  [[ -n $exposure ]] || fail "no exposure level in: $(cat "$work/security.out")"
  echo "unit exposure: $exposure (at most $max_exposure)"
  awk -v e="$exposure" -v m="$max_exposure" 'BEGIN { exit !(e <= m) }' ||
    fail "the unit is rated $exposure, above $max_exposure: $(grep '✗' "$work/security.out")"
else
  echo "systemd-analyze not found: the unit was neither verified nor rated"
fi

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
echo "deb: two packages built, listed, linted; the unit verified and rated; tolvane --version" \
  "and put work from the unpacked root"
