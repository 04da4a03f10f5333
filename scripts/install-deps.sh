#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs (run as root). Without arguments only what
# building and running the host needs; with --test also what the tests, fuzz targets and
# benchmarks need.
set -euo pipefail
build_packages=(
  cmake ninja-build g++ pkg-config binutils
  libjsoncpp-dev libboost-dev libboost-date-time-dev libsqlite3-dev libcli11-dev
  libmosquitto-dev
)
test_packages=(
  clang libclang-rt-14-dev
  # the house style of the C++ files, checked by the test command
  clang-format
  libgtest-dev libbenchmark-dev
  # serial device servers between the simulator's terminal and a TCP port, for the line tests
  socat ser2net
  # the MQTT broker and its clients the output tests talk to
  mosquitto mosquitto-clients
  # promtool for the shipped alert rules and the metrics file; logrotate for the installed snippet
  prometheus logrotate
)
packages=("${build_packages[@]}")
case "${1:-}" in
  "") ;;
  --test) packages+=("${test_packages[@]}") ;;
  *) echo "usage: scripts/install-deps.sh [--test]" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
