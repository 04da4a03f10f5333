#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKTR40E_TESTS=ON >/dev/null
ninja -C build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")
