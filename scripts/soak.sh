#!/usr/bin/env bash
# Soak test (not run by CI): builds the plug-in and the soak program, then lets the site host
# poll a simulated KTR-40 for SECONDS (default 3600) with 5 % of the answers faulty, and reports
# the rounds completed, the faults put on the line and those the host saw, the history kept,
# and the memory (RSS) at the start, after the first minute and at the end.
#   scripts/soak.sh [SECONDS] [ktr40e-soak options: --faults SHARE --baud N --seed N --dir DIR]
# Exits 1 when a round's history was lost or torn, or memory grew by more than 1 MiB after
# the first minute. SOAK_BUILD_DIR (default build-soak) and JOBS choose the build.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=3600
if [ $# -gt 0 ] && [[ "$1" != -* ]]; then
  seconds=$1
  shift
fi
build=${SOAK_BUILD_DIR:-build-soak}
bash scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKTR40E_TESTS=OFF -DKTR40E_WERROR=ON >/dev/null
ninja -C "$build" -j"${JOBS:-$(nproc)}" ktr40e ktr40e-soak >/dev/null
exec "$build/ktr40e-soak" --plugin "$build/ktr40e.so" --seconds "$seconds" "$@"
