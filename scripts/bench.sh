#!/usr/bin/env bash
# Installs what is needed, builds the benchmarks (Release, in build-bench) and runs them:
#   ktr40e-bench        parsers, round completion, a whole round, framing, heap allocations
#   ktr40e-line-bench   a round over a paced 9600-baud pseudo-terminal against its wire time
#   ktr40e-scale-bench  one host process polling 1, 10, 50 and 100 power systems
#   ktr40e-output-bench the CPU that MQTT and the metrics file add per round at 100 systems
# usage: scripts/bench.sh [--quick] [--plugin-only] [-- GOOGLE-BENCHMARK-FLAGS...]
#   --quick        shorter line and scale runs (about 2 minutes instead of 6)
#   --plugin-only  only ktr40e-bench (under a minute)
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
plugin_only=0
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --plugin-only) plugin_only=1 ;;
    --) shift; break ;;
    *) echo "usage: scripts/bench.sh [--quick] [--plugin-only] [-- GOOGLE-BENCHMARK-FLAGS...]" >&2; exit 2 ;;
  esac
  shift
done

bash scripts/install-deps.sh --test  # the output bench starts a mosquitto broker
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKTR40E_TESTS=OFF -DKTR40E_BENCH=ON -DKTR40E_WERROR=ON >/dev/null
ninja -C build-bench -j"$(nproc)" ktr40e-bench ktr40e-line-bench ktr40e-scale-bench ktr40e-output-bench

echo "== machine: $(nproc) CPUs"
lscpu | head -n 15
echo

echo "== plug-in (ktr40e-bench)"
./build-bench/ktr40e-bench --benchmark_repetitions=5 "$@"
if [ "$plugin_only" = 1 ]; then exit 0; fi

if [ "$quick" = 1 ]; then line_rounds=4; scale_seconds=20; else line_rounds=10; scale_seconds=60; fi
echo
echo "== line (ktr40e-line-bench)"
./build-bench/ktr40e-line-bench --rounds "$line_rounds"
echo
echo "== line over TCP, a serial server (ktr40e-line-bench --tcp)"
./build-bench/ktr40e-line-bench --rounds "$line_rounds" --tcp
echo
echo "== late answers against a clean line (ktr40e-line-bench --late-every 5)"
./build-bench/ktr40e-line-bench --late-every 5
echo
echo "== scale (ktr40e-scale-bench)"
./build-bench/ktr40e-scale-bench --systems 1,10,50,100 --seconds "$scale_seconds"
echo
echo "== scale over TCP (ktr40e-scale-bench --lines tcp)"
./build-bench/ktr40e-scale-bench --systems 100,1000 --seconds "$scale_seconds" --lines tcp
echo
echo "== MQTT and metrics output (ktr40e-output-bench)"
./build-bench/ktr40e-output-bench --seconds "$scale_seconds"
