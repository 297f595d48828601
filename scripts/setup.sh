#!/usr/bin/env bash
# Installs everything Brevant builds and tests with, from Debian 12 packages, and fetches the
# one source package that the Windows build compiles itself (mosquitto: Debian has no MinGW-w64
# build of its client library) into build/debian-sources/, which a new build folder reuses.
# Safe to run again: apt-get skips what is already there, and the source is fetched once.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build clang lld
  libclang-rt-14-dev
  libboost-thread-dev libboost-system-dev
  libturbojpeg0-dev libjpeg62-turbo-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libcli11-dev libstb-dev
  libmosquitto-dev mosquitto mosquitto-clients openssl
  # brevant-dashboard: HTTP(S) on Boost.Beast (libboost-dev's headers) with OpenSSL, its webhooks
  # through cpp-httplib's client, SQLite; its page's test drives headless Chromium through WebDriver
  libboost-dev libssl-dev libcpp-httplib-dev libsqlite3-dev chromium chromium-driver python3-selenium
  # its history on a shared PostgreSQL server (libpq), and the server its tests start
  libpq-dev postgresql
  # its readiness told to systemd (sd_notify) under a Type=notify unit
  libsystemd-dev
  # the farm's wire contract is checked against its JSON Schema in the tests
  python3-jsonschema
  # the dashboard's alert rules and metrics are checked by promtool, and a real Prometheus scrapes it
  prometheus
  g++-mingw-w64-x86-64-posix mingw-w64-tools googletest wine64
  dpkg-dev  # unpacks the source package that `apt-get source` fetches; dpkg-shlibdeps for cpack
  # the Debian packages (packaging/): manual pages from --help, checked by lintian, the unit by
  # systemd-analyze
  help2man lintian systemd
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# mosquitto's source, the same version as the libmosquitto-dev that the Linux build links,
# through apt: the archive's signed index vouches for every file. cmake/Mosquitto.cmake builds
# its client library for Windows from it.
version=$(dpkg-query -W -f='${Version}' libmosquitto-dev)
sources=build/debian-sources
if [ ! -f "$sources/mosquitto_${version#*:}.dsc" ]; then
  if ! apt-cache showsrc mosquitto 2>/dev/null | grep -q '^Package: mosquitto$'; then
    # No deb-src entry: one of our own for this release, beside the sources already there.
    . /etc/os-release
    list=/etc/apt/sources.list.d/brevant-debian-src.sources
    echo "setup: apt has no deb-src entry; adding $list for Debian $VERSION_CODENAME (other sources untouched)"
    printf '%s\n' "# Added by Brevant's scripts/setup.sh: Debian's source packages, for \`apt-get source mosquitto\`." \
      "Types: deb-src" "URIs: http://deb.debian.org/debian" \
      "Suites: $VERSION_CODENAME $VERSION_CODENAME-updates" "Components: main" \
      "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" "" \
      "Types: deb-src" "URIs: http://deb.debian.org/debian-security" "Suites: $VERSION_CODENAME-security" \
      "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
      "${sudo_cmd[@]}" tee "$list" >/dev/null
    "${sudo_cmd[@]}" apt-get update -q
  fi
  rm -rf "$sources/mosquitto"[-_]*
  mkdir -p "$sources"
  # The installed version where the archive still has it, else the release's current one.
  (cd "$sources" && { apt-get source -q "mosquitto=$version" || apt-get source -q mosquitto; })
fi
echo "setup: mosquitto source for the Windows build: $(ls -d "$sources"/mosquitto-*/ | head -n 1) (Debian $(ls "$sources"/mosquitto_*.dsc | sed 's/.*mosquitto_//; s/\.dsc$//'))"
