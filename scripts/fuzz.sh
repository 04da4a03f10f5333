#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs every one of them from its seed corpus.
#
#   scripts/fuzz.sh                   20 seconds per target
#   scripts/fuzz.sh 600               600 seconds per target
#   scripts/fuzz.sh -runs=10000000    ten million executions per target (the long run)
#   scripts/fuzz.sh -runs=10000000 -fork=2
#                                     the same with two worker processes per target; libFuzzer
#                                     counts the ten million over both
#
# Further arguments are libFuzzer options for every target (for example -jobs=2 or -max_len=8192).
# Inputs found worth keeping collect in build-fuzz/fuzz/corpus/<target> and are run again next
# time, besides the findings kept in fuzz/regressions/<target>, which every run starts from. A
# finding stops the script with a non-zero status; its input is copied into
# fuzz/regressions/<target>/, where every test build replays it (commit it with its fix), and
# replays alone with build-fuzz/fuzz/fuzz_<target> <file>.
set -euo pipefail
cd "$(dirname "$0")/.."

# FUZZ_TARGETS="frame power" runs only those, in that order.
read -r -a targets <<<"${FUZZ_TARGETS:-ac_parse dc_parse rc_parse power ac_cache dc_cache rc_cache frame query}"
build=build-fuzz
out="$build/fuzz"

limit=(-max_total_time=20)
if [ $# -gt 0 ]; then
  case "$1" in
    '' | *[!0-9]*) limit=() ;;  # libFuzzer options only
    *) limit=(-max_total_time="$1"); shift ;;
  esac
fi

bash scripts/install-deps.sh --test
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DKTR40E_FUZZ=ON -DKTR40E_TESTS=OFF -DKTR40E_WERROR=ON >/dev/null
ninja -C "$build" -j"${FUZZ_BUILD_JOBS:-2}" fuzz_seeds "${targets[@]/#/fuzz_}"

rm -rf "$out/seeds"
"$out/fuzz_seeds" "$out/seeds" >/dev/null
mkdir -p "$out/findings"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# Without allocation stacks ASan is about a tenth faster; a finding replays with them.
export ASAN_OPTIONS="${ASAN_OPTIONS:-malloc_context_size=0}"

# Copies the findings of `target` into its regressions folder, named as libFuzzer named them.
keep_findings() {
  local target=$1 finding kept
  for finding in "$out/findings/$target"-*; do
    [ -e "$finding" ] || continue
    kept="fuzz/regressions/$target/${finding##*/$target-}"
    cp "$finding" "$kept"
    echo "fuzz_$target: finding kept as $kept: every test build now replays it; commit it with the fix" >&2
  done
}

for target in "${targets[@]}"; do
  mkdir -p "$out/corpus/$target" "fuzz/regressions/$target"
  log="$out/$target.log"
  echo "== fuzz_$target"
  rm -f "$out/findings/$target"-*
  if ! "$out/fuzz_$target" "${limit[@]}" "$@" -print_final_stats=1 -artifact_prefix="$out/findings/$target-" \
      "$out/corpus/$target" "$out/seeds/$target" "fuzz/regressions/$target" >/dev/null 2>"$log"; then
    tail -n 80 "$log"
    keep_findings "$target"
    echo "fuzz_$target: finding; full log in $log" >&2
    exit 1
  fi
  grep -a -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb|INFO: fuzzed for)' "$log" || true
done
