#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine.
# Runs apt as root; otherwise names the missing packages and stops.
set -euo pipefail

# groff-base lints the manual page; dpkg-dev, build-essential and debhelper
# build the Debian package (`make package`) and lintian checks it; iproute2's
# ss shows the server's listening socket to a test; zlib compresses finished
# recordings and ttyrec's ttyplay checks that a recording plays. libboost-dev
# brings Boost.Beast for the web door; chromium, chromium-driver and
# python3-selenium run its page in a real browser for the browser test.
packages=(cmake ninja-build g++ clang libssl-dev libgtest-dev libgmock-dev
          libbenchmark-dev libclang-rt-14-dev tmux telnet netcat-openbsd
          groff-base dpkg-dev build-essential debhelper lintian file iproute2
          zlib1g-dev ttyrec libboost-dev chromium chromium-driver python3-selenium)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them as root: apt-get install -y ${missing[*]}" >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
