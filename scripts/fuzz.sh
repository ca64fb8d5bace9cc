#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#   scripts/fuzz.sh [SECONDS-PER-TARGET]      (default 60)
# Fails when any target crashes, hangs, trips a sanitizer or breaks one of its
# properties; the input that did it is kept in build/fuzz/artifacts/ and can be
# replayed with `build/fuzz/fuzz/TARGET FILE`. The corpus each run grows is
# kept in build/fuzz/corpus/TARGET, so later runs go on from there.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build/fuzz
targets=(response_handling_fuzzer body_builder_fuzzer endpoint_fuzzer)

cmake -S . --preset library -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQELSMS_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

mkdir -p "$build/artifacts"
failed=0
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  log="$build/$target.log"
  mkdir -p "$corpus"
  # -timeout: one input taking longer than 10 s counts as a hang.
  if "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target-" "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "fuzz: $target ok: $runs runs in ${seconds}s ($rate/s), corpus $(find "$corpus" -type f | wc -l) inputs"
  else
    echo "fuzz: $target FAILED (full log: $log)"
    grep -E '^(==[0-9]+==|SUMMARY|[a-z_]+_fuzzer: )' "$log" | head -n 20 || true
    failed=1
  fi
done
exit "$failed"
