#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each for a bounded time from its
# committed seed corpus (fuzz/corpus/NAME).
#
#   scripts/fuzz.sh [NAME...]     all targets, or the ones named (payload, inbound, record,
#                                 row_scan, trim, statements, code_page)
#   FUZZ_SECONDS=60               time per target
#   FUZZ_JOBS=2                   build parallelism
#
# Inputs found along the way go to build-fuzz/fuzz-work/NAME, never into the committed corpus.
# A crash, leak or failed check is saved as build-fuzz/fuzz-artifacts/NAME-crash-...; the script
# then fails. Turn each such input into a regression test beside the code it broke.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"
build=build-fuzz
work="$build/fuzz-work"
artifacts="$build/fuzz-artifacts"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DQZ_BUILD_FUZZERS=ON -DQZ_BUILD_TESTS=OFF -DQZ_BUILD_TOOLS=OFF -DQZ_BUILD_BENCHMARKS=OFF \
  >/dev/null
cmake --build "$build" --target qz_fuzzers -j"${FUZZ_JOBS:-2}"

targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  targets=(payload inbound record row_scan trim statements code_page)
fi

mkdir -p "$artifacts"
failed=()
for name in "${targets[@]}"; do
  binary="$build/fuzz/${name}_fuzzer"
  [[ -x "$binary" ]] || { echo "no fuzz target named $name" >&2; exit 2; }
  mkdir -p "$work/$name"
  extra=()
  # Each input of this one is a real loopback connection, and the sender's side of each keeps a
  # TIME_WAIT for a minute: cap the count so that a run does not crowd the machine's ports.
  [[ "$name" == inbound ]] && extra+=(-runs=20000)
  echo "== $name (${seconds}s)"
  # libFuzzer's progress lines go to a log of their own; a failure shows its end.
  log="$build/fuzz-$name.log"
  if "$binary" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 \
      -artifact_prefix="$artifacts/$name-" -print_final_stats=1 "${extra[@]}" \
      "$work/$name" "fuzz/corpus/$name" >"$log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^Done ' "$log" || true
  else
    tail -n 40 "$log" >&2
    failed+=("$name")
  fi
done

if [[ ${#failed[@]} -ne 0 ]]; then
  echo "fuzz targets that failed: ${failed[*]} (inputs in $artifacts)" >&2
  exit 1
fi
echo "all fuzz targets ran ${seconds}s without a finding"
