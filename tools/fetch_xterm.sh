#!/usr/bin/env bash
# Fetches the terminal library that the web page embeds, at the pinned
# version, with `npm pack` from the npm registry; checks the package against
# the registry's integrity value recorded here; and keeps the two files the
# page serves and the licence under web/vendor/xterm, with their SHA-256 sums
# (the build refuses files that no longer match them).
#
#   tools/fetch_xterm.sh           fetch, verify, replace the vendored files
#   tools/fetch_xterm.sh --check   verify the vendored files only (no network)
#
# To move to another release: set VERSION and INTEGRITY from
# `npm view @xterm/xterm@X.Y.Z dist.integrity`, run this, and test the page.
set -euo pipefail
VERSION=6.0.0
INTEGRITY=sha512-TQwDdQGtwwDt+2cgKDLn0IRaSxYu1tSUjgKarSDkUM0ZNiSRXFpjxEsvc/Zgc5kq5omJ+V0a8/kIM2WD3sMOYg==
FILES=(lib/xterm.js css/xterm.css LICENSE)

cd "$(dirname "$0")/.."
dest=web/vendor/xterm

if [ "${1:-}" = "--check" ]; then
  (cd "$dest" && sha256sum --quiet -c SHA256SUMS)
  grep -qx "@xterm/xterm $VERSION" "$dest/VERSION"
  echo "web/vendor/xterm: @xterm/xterm $VERSION, files match"
  exit 0
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
(cd "$tmp" && npm pack --silent "@xterm/xterm@$VERSION" >/dev/null)
tarball="$tmp/xterm-xterm-$VERSION.tgz"
actual="sha512-$(openssl dgst -sha512 -binary "$tarball" | base64 -w0)"
if [ "$actual" != "$INTEGRITY" ]; then
  echo "@xterm/xterm $VERSION: integrity $actual, expected $INTEGRITY" >&2
  exit 1
fi
tar -xzf "$tarball" -C "$tmp" "${FILES[@]/#/package/}"
mkdir -p "$dest"
for f in "${FILES[@]}"; do
  install -m 0644 "$tmp/package/$f" "$dest/$(basename "$f")"
done
echo "@xterm/xterm $VERSION" > "$dest/VERSION"
(cd "$dest" && sha256sum xterm.js xterm.css LICENSE > SHA256SUMS)
echo "web/vendor/xterm: @xterm/xterm $VERSION fetched and verified"
