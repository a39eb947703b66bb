#!/usr/bin/env bash
# Configures and builds operation_receipt_fuzzer in build/fuzz (clang, ASan + UBSan, coverage
# of the component and stand-ins too), then runs it for a number of seconds on a copy of the seed
# corpus in tests/fuzz/corpus. Exits non-zero on any crash, leak, timeout or failed check; the
# reproducer is left in build/fuzz/artifacts/. New corpus entries are merged back into
# tests/fuzz/corpus only with --merge.
#
# Usage: tests/fuzz/run_fuzzer.sh [SECONDS] [--merge] [extra libFuzzer flags ...]
#   SECONDS defaults to 90. OR_FUZZ_BUILD_DIR overrides build/fuzz.
#   OR_FUZZ_ALIGNED_ONLY=1 keeps index lists' end pointers a whole number of items from their
#   begin pointers, to look past a fault found with such lists. To read a reproducer, run the
#   fuzzer binary on the one file: a failed check prints what broke and the token.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
seconds=90
merge=0
extra=()
for argument in "$@"; do
  case "$argument" in
    --merge) merge=1 ;;
    -*) extra+=("$argument") ;;
    *[!0-9]* | '') echo "run_fuzzer.sh: not a number of seconds: $argument" >&2; exit 2 ;;
    *) seconds=$argument ;;
  esac
done

build=${OR_FUZZ_BUILD_DIR:-$root/build/fuzz}
flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
flags="$flags -fsanitize=fuzzer-no-link"
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  cmake -S "$root" -B "$build" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DOR_BUILD_FUZZER=ON -DOR_BUILD_BENCHMARKS=OFF -DOR_WERROR=ON
fi
cmake --build "$build" --target operation_receipt_fuzzer

fuzzer="$build/tests/fuzz/operation_receipt_fuzzer"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$build/artifacts"
cp "$here"/corpus/* "$work/corpus/" 2>/dev/null || true

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
"$fuzzer" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
  -artifact_prefix="$build/artifacts/" "${extra[@]}" "$work/corpus" || status=$?

if [[ $status -eq 0 && $merge -eq 1 ]]; then
  "$fuzzer" -merge=1 "$here/corpus" "$work/corpus"
fi
if [[ $status -ne 0 ]]; then
  echo "run_fuzzer.sh: the fuzzer found a fault (exit $status); see $build/artifacts/" >&2
fi
exit "$status"
