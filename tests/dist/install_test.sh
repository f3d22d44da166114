#!/bin/sh
# Installs the build into a temporary prefix and checks what lands there: the
# exact file list (no tests, libraries or headers), the units' key lines, and
# that the installed program runs.
set -eu
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/usr
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

expected="bin/mzDELVE
lib/systemd/system/mzdelve.service
lib/systemd/system/mzdelve@.service
share/doc/mzdelve/README.md
share/doc/mzdelve/changelog.gz
share/doc/mzdelve/copyright
share/doc/mzdelve/examples/loopback-only.conf
share/doc/mzdelve/examples/mzdelve-tls.service
share/doc/mzdelve/examples/mzdelve.cfg
share/man/man6/mzDELVE.6.gz"
actual=$(cd "$prefix" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "installed files differ:
$actual"

unit_has() {
  grep -qxF "$2" "$prefix/lib/systemd/system/$1" || fail "$1 lacks: $2"
}
for unit in mzdelve.service mzdelve@.service; do
  unit_has "$unit" "ExecStart=$prefix/bin/mzDELVE -s"
  unit_has "$unit" "Type=simple"
  unit_has "$unit" 'ExecReload=/bin/kill -USR2 $MAINPID'
  unit_has "$unit" "Restart=on-failure"
  unit_has "$unit" "DynamicUser=yes"
done
unit_has mzdelve.service "Environment=RL_CONFIG_DIR=/etc/mzdelve"
unit_has mzdelve.service "StateDirectory=mzdelve"
unit_has mzdelve.service "WorkingDirectory=/var/lib/mzdelve"
unit_has mzdelve@.service "Environment=RL_CONFIG_DIR=/etc/mzdelve/%i"
unit_has mzdelve@.service "StateDirectory=mzdelve-%i"
unit_has mzdelve@.service "WorkingDirectory=/var/lib/mzdelve-%i"

gzip -t "$prefix/share/man/man6/mzDELVE.6.gz" "$prefix/share/doc/mzdelve/changelog.gz"

help=$(HOME="$tmp" "$prefix/bin/mzDELVE" -h) || fail "installed program -h failed"
[ "$(echo "$help" | head -n 1)" = "--- Command Line Help ---" ] || fail "unexpected help: $help"

# The units must load as systemd reads them, not only hold the right lines.
if command -v systemd-analyze >/dev/null 2>&1; then
  units=$prefix/lib/systemd/system
  ln -s mzdelve@.service "$units/mzdelve@1338.service"
  out=$(SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no \
        "$units/mzdelve.service" "$units/mzdelve@1338.service" 2>&1) || fail "systemd-analyze: $out"
  [ -z "$out" ] || fail "systemd-analyze warns: $out"
  # The front door example names socat, which verify wants to find.
  if [ -x /usr/bin/socat ]; then
    out=$(SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no \
          "$prefix/share/doc/mzdelve/examples/mzdelve-tls.service" 2>&1) || fail "systemd-analyze: $out"
    [ -z "$out" ] || fail "systemd-analyze warns on the front door: $out"
  fi
else
  echo "systemd-analyze not found: unit files not verified"
fi
echo "install tree ok"
