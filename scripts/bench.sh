#!/usr/bin/env bash
# Installs what is needed, builds the benchmarks (Release, in build-bench) and runs them:
#   ktr40e-bench        parsers, round completion, a whole round, framing, heap allocations
#   ktr40e-line-bench   a round over a paced 9600-baud pseudo-terminal against its wire time
#   ktr40e-scale-bench  one host process polling 1, 10, 50 and 100 power systems
#   ktr40e-output-bench the CPU that MQTT and the metrics file add per round at 100 systems
#   ktr40e-history-bench the history database of one power system and its size after a year
# usage: scripts/bench.sh [--quick] [--plugin-only] [--baseline REV] [-- GOOGLE-BENCHMARK-FLAGS...]
#   --quick        shorter line and scale runs (about 2 minutes instead of 6)
#   --plugin-only  only ktr40e-bench (under a minute)
#   --baseline REV also builds REV (in a scratch worktree) and runs its ktr40e-bench right
#                  after this one's, with the same flags, for figures side by side
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
plugin_only=0
baseline=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --plugin-only) plugin_only=1 ;;
    --baseline) shift; baseline="${1:?--baseline needs a revision}" ;;
    --) shift; break ;;
    *) echo "usage: scripts/bench.sh [--quick] [--plugin-only] [--baseline REV] [-- GOOGLE-BENCHMARK-FLAGS...]" >&2; exit 2 ;;
  esac
  shift
done

bash scripts/install-deps.sh --test  # the output bench starts a mosquitto broker
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKTR40E_TESTS=OFF -DKTR40E_BENCH=ON -DKTR40E_WERROR=ON >/dev/null
ninja -C build-bench -j"$(nproc)" ktr40e-bench ktr40e-line-bench ktr40e-scale-bench ktr40e-output-bench ktr40e-history-bench

if [ -n "$baseline" ]; then
  base_dir="$(mktemp -d /tmp/ktr40e-baseline-XXXXXX)"
  trap 'git worktree remove --force "$base_dir/src" >/dev/null 2>&1 || true; rm -rf "$base_dir"' EXIT
  git worktree add --detach "$base_dir/src" "$baseline" >/dev/null
  cmake -S "$base_dir/src" -B "$base_dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKTR40E_TESTS=OFF -DKTR40E_BENCH=ON \
    -DKTR40E_WERROR=ON >/dev/null
  ninja -C "$base_dir/build" -j"$(nproc)" ktr40e-bench
fi

echo "== machine: $(nproc) CPUs"
lscpu | head -n 15
echo

echo "== plug-in (ktr40e-bench)"
./build-bench/ktr40e-bench --benchmark_repetitions=5 "$@"
if [ -n "$baseline" ]; then
  echo
  echo "== plug-in at $baseline (ktr40e-bench, the baseline)"
  "$base_dir/build/ktr40e-bench" --benchmark_repetitions=5 "$@"
fi
echo
echo "== history of one power system at 3 s (ktr40e-history-bench)"
./build-bench/ktr40e-history-bench --minutes 120
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
