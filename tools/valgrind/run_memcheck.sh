#!/usr/bin/env bash
# Runs every test program of a build under valgrind's memcheck and fails on any memory error or
# definite leak. Too slow for every CI run; run it before a release or after touching ownership.
#
# Usage: tools/valgrind/run_memcheck.sh [build dir]   (default: build/debug, configured and built
#        with the debug preset when missing)
#
# What the process-exit discard leaves on purpose (values of operations still live when the
# process ends, which the bit-data library keeps reachable in its registry) is "still
# reachable", never "definitely lost", so no suppression is needed.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$root/build/debug}
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake --preset debug -S "$root"
fi
cmake --build "$build" -j2

programs=(
  tests/component_tests tests/postflush_tests tests/thread_tests tests/internal_tests
  tests/interposed_service_test tests/c_api_test
  tests/standins/StandInServicesTests tests/standins/StandInBitDataTests
)
failed=0
for program in "${programs[@]}"; do
  [[ -x $build/$program ]] || { echo "missing $program" >&2; failed=1; continue; }
  echo "=== memcheck $program"
  if ! valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
      --show-leak-kinds=definite "$build/$program" >"$build/memcheck-$(basename "$program").log" 2>&1; then
    echo "FAILED: $program (see $build/memcheck-$(basename "$program").log)"
    tail -30 "$build/memcheck-$(basename "$program").log"
    failed=1
  fi
done
if ((failed)); then exit 1; fi
echo "memcheck: every program clean"
