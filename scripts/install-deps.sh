#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds and tests with (run as root).
# --tests adds the real peers the tests start (an MQTT broker and its clients).
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config binutils
  clang libclang-rt-14-dev
  libjsoncpp-dev libboost-dev libboost-date-time-dev
  libgtest-dev libbenchmark-dev libsqlite3-dev
  libmosquitto-dev
)
if [ "${1:-}" = --tests ]; then
  packages+=(mosquitto mosquitto-clients)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
