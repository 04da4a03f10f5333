#!/usr/bin/env bash
# Installs what is needed, builds the benchmarks (Release, in build-bench) and runs them:
#   ktr40e-bench        parsers, round completion, a whole round, framing, heap allocations
#   ktr40e-line-bench   a round over a paced 9600-baud pseudo-terminal against its wire time
#   ktr40e-scale-bench  one host process polling 1, 10, 50 and 100 power systems
#   ktr40e-output-bench the CPU that MQTT and the metrics file add per round at 100 systems
#   and the host's whole CPU per round with MQTT and the metrics file on (scale --outputs on)
#   ktr40e-history-bench the history database of one power system and its size after a year
# usage: scripts/bench.sh [--quick] [--plugin-only] [--baseline REV] [-- GOOGLE-BENCHMARK-FLAGS...]
#   --quick        shorter line and scale runs (about 2 minutes instead of 6)
#   --plugin-only  only ktr40e-bench (under a minute)
#   --baseline REV also builds commit REV in a temporary folder and runs its ktr40e-bench, scale
#                  and output benchmarks right after this tree's, so both figures come from one run
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
plugin_only=0
baseline=""
usage="usage: scripts/bench.sh [--quick] [--plugin-only] [--baseline REV] [-- GOOGLE-BENCHMARK-FLAGS...]"
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --plugin-only) plugin_only=1 ;;
    --baseline) [ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }; baseline="$2"; shift ;;
    --) shift; break ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
  shift
done

bash scripts/install-deps.sh --test  # the output bench starts a mosquitto broker
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKTR40E_TESTS=OFF -DKTR40E_BENCH=ON -DKTR40E_WERROR=ON >/dev/null
bench_targets=(ktr40e-bench ktr40e-line-bench ktr40e-scale-bench ktr40e-output-bench ktr40e-history-bench)
ninja -C build-bench -j"$(nproc)" "${bench_targets[@]}"

# The named commit's files, built the same way in a folder that goes when the script ends.
base_dir=""
if [ -n "$baseline" ]; then
  base_rev="$(git rev-parse --short "$baseline^{commit}")"
  base_dir="$(mktemp -d "${TMPDIR:-/tmp}/ktr40e-baseline-XXXXXX")"
  trap 'rm -rf "$base_dir"' EXIT
  git archive "$base_rev" | tar -x -C "$base_dir"
  cmake -S "$base_dir" -B "$base_dir/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKTR40E_TESTS=OFF \
    -DKTR40E_BENCH=ON -DKTR40E_WERROR=ON >/dev/null
  ninja -C "$base_dir/build-bench" -j"$(nproc)" ktr40e-bench ktr40e-scale-bench ktr40e-output-bench ktr40e
fi

# Runs a host benchmark of this tree, then the same of the baseline (when asked for one).
side_by_side() {
  local name="$1"
  shift
  echo "-- this tree ($(git rev-parse --short HEAD)$(git diff --quiet HEAD || echo ', with changes'))"
  "./build-bench/$name" "$@"
  if [ -n "$base_dir" ]; then
    echo "-- baseline $base_rev"
    "$base_dir/build-bench/$name" --plugin "$base_dir/build-bench/ktr40e.so" "$@"
  fi
}

echo "== machine: $(nproc) CPUs"
lscpu | head -n 15
echo

echo "== plug-in (ktr40e-bench)"
./build-bench/ktr40e-bench --benchmark_repetitions=5 "$@"
if [ -n "$base_dir" ]; then
  echo
  echo "== plug-in at baseline $base_rev (ktr40e-bench)"
  "$base_dir/build-bench/ktr40e-bench" --benchmark_repetitions=5 "$@"
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
side_by_side ktr40e-scale-bench --systems 1,10,50,100 --seconds "$scale_seconds"
echo
echo "== scale over TCP (ktr40e-scale-bench --lines tcp)"
side_by_side ktr40e-scale-bench --systems 100,1000 --seconds "$scale_seconds" --lines tcp
echo
echo "== MQTT and metrics output (ktr40e-output-bench)"
side_by_side ktr40e-output-bench --seconds "$scale_seconds"
echo
echo "== everything: polling, history, MQTT with discovery and the metrics file (this tree)"
./build-bench/ktr40e-scale-bench --systems 100 --seconds "$scale_seconds" --outputs on
./build-bench/ktr40e-scale-bench --systems 1000 --seconds "$scale_seconds" --lines tcp --outputs on
