#!/usr/bin/env bash
# Installs what is needed, builds, and runs the site host with the plug-in against the
# built-in power system simulator (no hardware needed). Extra arguments go to sitehost.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DKTR40E_TESTS=OFF -DKTR40E_WERROR=ON >/dev/null
ninja -C build ktr40e sitehost ktr40e-sim
exec ./build/sitehost --plugin build/ktr40e.so --site config/site.json --rounds 5 "$@"
