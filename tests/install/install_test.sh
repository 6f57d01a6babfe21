#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and checks what landed: every file, the manual
# pages render without warnings, the completion script completes, the service unit verifies.
# Usage: install_test.sh <build-dir>
set -euo pipefail
build=$1
root=$(mktemp -d /tmp/tolvane-install.XXXXXX)
trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$root cmake --install "$build" --prefix /usr/local >/dev/null
prefix=$root/usr/local
for f in bin/tolvane bin/tolvane-receiver bin/tolvane-mktrace \
         share/man/man1/tolvane.1 share/man/man5/tolvane.cf.5 \
         lib/systemd/system/tolvane-daemon.service \
         share/bash-completion/completions/tolvane \
         share/doc/tolvane/tolvane.cf.example share/doc/tolvane/README.md; do
  [[ -f $prefix/$f ]] || fail "$f was not installed"
done
[[ $("$prefix/bin/tolvane" --version) == "tolvane version 1.61.114" ]] || fail "installed tolvane --version"

# Manual pages: no groff warning, and man renders them.
for page in man1/tolvane.1 man5/tolvane.cf.5; do
  warnings=$(groff -ww -man -Tutf8 -z "$prefix/share/man/$page" 2>&1)
  [[ -z $warnings ]] || fail "$page: $warnings"
  rendered=$(MANWIDTH=80 man -l "$prefix/share/man/$page" 2>"$root/man.err")
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

# The service unit, where systemd's checker exists.
unit=$prefix/lib/systemd/system/tolvane-daemon.service
grep -qx 'ExecStart=/usr/local/bin/tolvane daemon -f' "$unit" || fail "unit ExecStart: $(grep ExecStart "$unit")"
# A build with libsystemd is waited for until ready and watched; one without must be neither.
if ldd "$prefix/bin/tolvane" | grep -q libsystemd; then
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
echo "install: every file in place, pages lint clean, completion works, unit verified"
