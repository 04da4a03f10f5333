#!/usr/bin/env bash
# Installs what is needed, checks the house style, builds, and runs every test: the suites in a normal build, the
# suites again under AddressSanitizer and UndefinedBehaviorSanitizer, and a short run of
# every fuzz target (FUZZ_SECONDS each, default 10; 0 skips them).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --test
jobs=$(nproc)

echo "== house style"
bash scripts/check-format.sh || { echo "0 passed, 1 failed"; exit 1; }

passed=0
failed=0
# A count from the <testsuite> element of ctest's JUnit report (tests, failures, skipped);
# nothing when the report or the count is missing.
junit_count() {  # file, attribute
  { tr '\n' ' ' <"$1" | grep -o '<testsuite[^>]*>' | head -n 1 |
    sed -n -E "s/.*[[:space:]]$2=\"([0-9]+)\".*/\1/p"; } 2>/dev/null || true
}

suite() {  # build dir, cmake options...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DKTR40E_TESTS=ON -DKTR40E_WERROR=ON "$@" >/dev/null
  ninja -C "$dir" -j"$jobs"
  local status=0 report="$PWD/$dir/ctest-junit.xml"
  rm -f "$report"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --output-junit "$report") || status=$?
  local total bad skipped
  total=$(junit_count "$report" tests)
  bad=$(junit_count "$report" failures)
  skipped=$(junit_count "$report" skipped)
  passed=$((passed + ${total:-0} - ${bad:-0} - ${skipped:-0}))
  failed=$((failed + ${bad:-0}))
  if [ "$status" -ne 0 ] || [ -z "$total" ]; then
    echo "$passed passed, $((failed > 0 ? failed : 1)) failed"
    exit 1
  fi
}

echo "== test suites"
suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== test suites under AddressSanitizer and UndefinedBehaviorSanitizer"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKTR40E_SANITIZE=ON

if [ "${FUZZ_SECONDS:-10}" != 0 ]; then
  echo "== fuzz targets, ${FUZZ_SECONDS:-10} s each"
  mkdir -p build-fuzz
  if bash scripts/fuzz.sh "${FUZZ_SECONDS:-10}" | tee build-fuzz/run.log; then
    passed=$((passed + $(grep -c '^== fuzz_' build-fuzz/run.log)))
  else
    echo "$passed passed, $((failed + 1)) failed"
    exit 1
  fi
fi
echo "$passed passed, $failed failed"
