#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# Runs as root on a fresh Debian 12 machine; does nothing when all are present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang                 # checks the lock annotations (scripts/thread-safety.sh)
  libgtest-dev libgmock-dev libbenchmark-dev   # unit tests and benchmarks
  libssl-dev            # AES-128 for the network transport (libcrypto)
  nlohmann-json3-dev    # JSON for the client bridge and simulator scenarios
  libmicrohttpd-dev     # the client bridge's HTTP server (Unix socket and loopback, event streams)
  libcurl4-openssl-dev  # HTTP client of zelctl, the bridge tests and benchmarks (Unix sockets)
  libxml2-dev           # XML snapshots and the server log
  libsystemd-dev        # system log (journald) reports
  python3 python3-olefile  # independent compound-file reader used by the storage tests
  libgsf-1-dev          # foreign compound files for the storage tests
  util-linux            # flock, used by the crash-loop test driver
  libmosquitto-dev      # the MQTT client library of zelmqtt
  mosquitto             # the broker the zelmqtt tests start on a loopback port of their own
  python3-paho-mqtt     # the MQTT client the zelmqtt tests read the broker with
  python3-jinja2        # renders the discovery configs' templates in the zelmqtt tests
  chromium              # the headless browser the web front end's test runs the page in
  chromium-driver       # its WebDriver (chromedriver), through which the test drives it
  python3-selenium      # the WebDriver client the web front end's test is written with
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
