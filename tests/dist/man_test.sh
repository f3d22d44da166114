#!/bin/sh
# The manual page renders without warnings and names every option the
# program's own help names, so the two cannot drift apart unnoticed.
set -eu
page=$1
program=$2
if ! command -v groff >/dev/null 2>&1; then
  echo "groff not installed: manual page not linted"
  exit 77
fi
warnings=$(groff -man -ww -z "$page" 2>&1)
[ -z "$warnings" ] || { echo "FAIL: groff warnings:
$warnings" >&2; exit 1; }
if command -v mandoc >/dev/null 2>&1; then
  warnings=$(mandoc -T lint -W warning "$page" 2>&1) || true
  [ -z "$warnings" ] || { echo "FAIL: mandoc warnings:
$warnings" >&2; exit 1; }
fi

text=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for option in $(HOME="$tmp" "$program" -h | grep -o -- '--*[a-z][a-z]*' | sort -u); do
  echo "$text" | grep -q -- "$option" || { echo "FAIL: the manual page lacks $option" >&2; exit 1; }
done
echo "manual page ok"
