#!/bin/sh
# Checks a built .deb: its maintainer scripts are there and executable and
# manage the service (stop on remove, the state and configuration go on
# purge), the units name the packaged program, and the program is the
# package's version.
set -eu
deb=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

listing=$(dpkg-deb --ctrl-tarfile "$deb" | tar -tvf -)
for script in postinst prerm postrm; do
  echo "$listing" | grep -Eq "^-rwxr-xr-x .* \./$script\$" || fail "no executable $script in:
$listing"
done

mkdir "$tmp/control" "$tmp/root"
dpkg-deb --ctrl-tarfile "$deb" | tar -xf - -C "$tmp/control"
dpkg-deb --fsys-tarfile "$deb" | tar -xf - -C "$tmp/root"
has() {
  grep -qF -- "$2" "$tmp/control/$1" || fail "$1 lacks: $2"
}
has prerm "deb-systemd-invoke stop 'mzdelve.service'"
has prerm "deb-systemd-invoke stop 'mzdelve@*.service'"
has postrm "deb-systemd-helper purge 'mzdelve.service'"
for path in /etc/mzdelve /var/lib/private/mzdelve /var/lib/private/mzdelve-\* /var/lib/mzdelve-\*; do
  has postrm "$path"
done
for script in postinst prerm postrm; do
  sh -n "$tmp/control/$script" || fail "$script does not parse"
done

for unit in mzdelve.service mzdelve@.service; do
  grep -qxF "ExecStart=/usr/games/mzDELVE -s" "$tmp/root/lib/systemd/system/$unit" \
    || fail "$unit does not start /usr/games/mzDELVE"
done

version=$(dpkg-deb -f "$deb" Version)
out=$(HOME="$tmp" "$tmp/root/usr/games/mzDELVE" --version) || fail "--version failed"
[ "$out" = "mzDELVE $version" ] || fail "the program says \"$out\", the package is $version"
echo "package ok"
