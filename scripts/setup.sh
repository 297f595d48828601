#!/usr/bin/env bash
# Installs everything Brevant builds and tests with, from Debian 12 packages.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build clang lld
  libclang-rt-14-dev
  libboost-thread-dev libboost-system-dev
  libturbojpeg0-dev libjpeg62-turbo-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libcli11-dev libstb-dev
  libmosquitto-dev mosquitto mosquitto-clients openssl
  # brevant-dashboard: HTTP and SQLite; its page's test drives headless Chromium through WebDriver
  libcpp-httplib-dev libsqlite3-dev chromium chromium-driver python3-selenium
  # the farm's wire contract is checked against its JSON Schema in the tests
  python3-jsonschema
  g++-mingw-w64-x86-64-posix mingw-w64-tools googletest wine64
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
