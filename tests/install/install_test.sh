#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR, under two prefixes, and checks what landed: every
# file, the manual pages render without warnings, the completion script completes, the service
# unit names the program of its own prefix and verifies, the tmpfiles.d line makes /var/crash
# without touching an existing one.
# Usage: install_test.sh <build-dir>
set -euo pipefail
build=$1
root=$(mktemp -d /tmp/tolvane-install.XXXXXX)
trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# One component at a time: the build's install_manifest.txt then stays the record of the last
# real `cmake --install`, which the README's uninstall line reads.
install_to() {
  for component in main tools; do
    DESTDIR=$root cmake --install "$build" --prefix "$1" --component "$component" >/dev/null
  done
}
install_to /usr/local
prefix=$root/usr/local
for f in bin/tolvane bin/tolvane-receiver bin/tolvane-mktrace \
         share/man/man1/tolvane.1.gz share/man/man5/tolvane.cf.5.gz \
         share/man/man1/tolvane-receiver.1.gz share/man/man1/tolvane-mktrace.1.gz \
         lib/systemd/system/tolvane-daemon.service lib/tmpfiles.d/tolvane.conf \
         share/bash-completion/completions/tolvane \
         share/doc/tolvane/tolvane.cf.example share/doc/tolvane/README.md \
         share/doc/tolvane/copyright share/doc/tolvane/changelog.gz \
         share/doc/tolvane-tools/copyright share/doc/tolvane-tools/changelog.gz; do
  [[ -f $prefix/$f ]] || fail "$f was not installed"
done
[[ -e $prefix/bin/tolvane-relay ]] && fail "the test relay was installed"
[[ $("$prefix/bin/tolvane" --version) == "tolvane version 1.61.114" ]] || fail "installed tolvane --version"
# The changelog names the version the program prints.
[[ $(zcat "$prefix/share/doc/tolvane/changelog.gz" | head -n 1) == "tolvane (1.61.114) "* ]] ||
  fail "changelog: $(zcat "$prefix/share/doc/tolvane/changelog.gz" | head -n 1)"

# Manual pages: no groff warning, and man renders them.
for page in man1/tolvane.1 man5/tolvane.cf.5 man1/tolvane-receiver.1 man1/tolvane-mktrace.1; do
  gz=$prefix/share/man/$page.gz
  warnings=$(zcat "$gz" | groff -ww -man -Tutf8 -z 2>&1)
  [[ -z $warnings ]] || fail "$page: $warnings"
  rendered=$(MANWIDTH=80 man -l "$gz" 2>"$root/man.err")
  [[ -s $root/man.err ]] && fail "$page: $(cat "$root/man.err")"
  [[ $rendered == *tolvane* ]] || fail "$page renders empty"
done

# Completion: the script loads in bash and completes commands and options.
complete_words() {
  bash --norc -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _tolvane; echo "${COMPREPLY[*]}"' \
    _ "$prefix/share/bash-completion/completions/tolvane" "$@"
}
[[ $(complete_words tolvane p) == put ]] || fail "tolvane p completes to '$(complete_words tolvane p)'"
[[ $(complete_words tolvane -c cf da) == daemon ]] || fail "tolvane -c cf da"
[[ $(complete_words tolvane put --unl) == --unlink ]] || fail "tolvane put --unl"
[[ $(complete_words tolvane daemon --f) == --foreground ]] || fail "tolvane daemon --f"
[[ $(complete_words tolvane ch) == check ]] || fail "tolvane ch"
[[ $(complete_words tolvane check --c) == --connect ]] || fail "tolvane check --c"
# No test option is offered: put's -D cuts an upload short on purpose.
[[ $(complete_words tolvane put -) != *-D* ]] || fail "put offers -D"
# The project and token words come from the configuration's [token] block.
printf '[universe]\nname = u\n[token]\nalpha = x\n  beta\t= y\n[daemon]\nw.token = alpha\n' \
  >"$root/words.cf"
[[ $(complete_words tolvane -c "$root/words.cf" put '') == "alpha beta" ]] ||
  fail "put's project word: '$(complete_words tolvane -c "$root/words.cf" put '')'"
[[ $(complete_words tolvane -c "$root/words.cf" put -u alpha b) == beta ]] || fail "put's token word"
[[ $(complete_words tolvane -c "$root/words.cf" stacklore a) == alpha ]] || fail "stacklore's project"
mkdir -p "$root/files" && touch "$root/files/t1.slt"
[[ $(complete_words tolvane -c "$root/words.cf" put alpha beta "$root/files/t") == "$root/files/t1.slt" ]] ||
  fail "put's file word"

# The service unit starts the program installed beside it, whatever the prefix: it is written at
# install time, not when the build was configured.
install_to /opt/tolvane
for p in /usr/local /opt/tolvane; do
  unit=$root$p/lib/systemd/system/tolvane-daemon.service
  grep -qx "ExecStart=$p/bin/tolvane daemon -f" "$unit" || fail "unit under $p: $(grep ExecStart "$unit")"
  [[ -x $root$p/bin/tolvane ]] || fail "no $p/bin/tolvane"
done
unit=$prefix/lib/systemd/system/tolvane-daemon.service
# A build with libsystemd is waited for until ready and watched; one without must be neither.
# (ldd's output is taken whole: with pipefail, grep -q ending early could fail the pipe.)
if [[ $(ldd "$prefix/bin/tolvane") == *libsystemd* ]]; then
  directives=(Type=notify WatchdogSec=30s Restart=on-failure)
else
  directives=(Type=simple Restart=on-failure)
  grep -q '^WatchdogSec=' "$unit" && fail "unit has a watchdog that this build cannot beat"
fi
for d in "${directives[@]}"; do grep -qx "$d" "$unit" || fail "unit lacks $d"; done
# Only the main process notifies: the default NotifyAccess=main must stay.
grep -q '^NotifyAccess=' "$unit" && fail "unit sets NotifyAccess"
if command -v systemd-analyze >/dev/null; then
  # Verified as it would run from the prefix: its command and its manual pages must exist.
  mkdir "$root/verify"
  sed "s|^ExecStart=/usr/local/bin/|ExecStart=$prefix/bin/|" "$unit" >"$root/verify/tolvane-daemon.service"
  out=$(MANPATH=$prefix/share/man systemd-analyze verify "$root/verify/tolvane-daemon.service" 2>&1) ||
    fail "systemd-analyze verify: $out"
  [[ -z $out ]] || fail "systemd-analyze verify: $out"
else
  echo "systemd-analyze not found: the unit was not verified"
fi

# The tmpfiles.d line makes a missing /var/crash, and leaves an existing one's mode and owner.
if command -v systemd-tmpfiles >/dev/null; then
  conf=$prefix/lib/tmpfiles.d/tolvane.conf
  mkdir -p "$root/fresh" "$root/kept/var/crash"
  chmod 1777 "$root/kept/var/crash"
  chown nobody "$root/kept/var/crash"
  for r in fresh kept; do
    out=$(systemd-tmpfiles --create --root="$root/$r" "$conf" 2>&1) || fail "systemd-tmpfiles: $out"
  done
  [[ $(stat -c '%a %U' "$root/fresh/var/crash") == "755 root" ]] ||
    fail "a new /var/crash is $(stat -c '%a %U' "$root/fresh/var/crash")"
  [[ $(stat -c '%a %U' "$root/kept/var/crash") == "1777 nobody" ]] ||
    fail "an existing /var/crash (1777 nobody) became $(stat -c '%a %U' "$root/kept/var/crash")"
else
  echo "systemd-tmpfiles not found: the tmpfiles.d line was not tried"
fi
echo "install: every file in place under two prefixes, pages lint clean, completion works, unit" \
  "names its own program and verifies, tmpfiles.d line works"
