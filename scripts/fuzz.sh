#!/usr/bin/env bash
# Runs every fuzz target for FUZZ_SECONDS seconds (60 by default) from the seed corpora
# in fuzz/corpus, in a clang build of its own (build-fuzz), and prints per target the
# executions, executions per second and libFuzzer's coverage (cov, ft). New inputs
# the fuzzer finds stay in build-fuzz/corpus; a crash leaves its input in
# build-fuzz/crashes/<target>/ and makes the run fail.
#   FUZZ_SECONDS=5 scripts/fuzz.sh            all targets, 5 s each
#   FUZZ_TARGETS="intake frame" scripts/fuzz.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build=${FUZZ_BUILD:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-"intake online frame fields settings ini"}

if [ ! -f "$build/CMakeCache.txt" ]; then
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DKASSIRO_FUZZ=ON "${launcher[@]}" >/dev/null
fi
cmake --build "$build" -j "$(nproc)" >/dev/null

failed=()
summary=()
for t in $targets; do
  corpus="$build/corpus/$t" crashes="$build/crashes/$t" log="$build/logs/$t.log"
  mkdir -p "$corpus" "$crashes" "$(dirname "$log")"
  args=(-max_total_time="$seconds" -timeout=60 -print_final_stats=1 -artifact_prefix="$crashes/")
  [ -f "fuzz/dict/$t.dict" ] && args+=(-dict="fuzz/dict/$t.dict")
  echo "fuzz_$t: ${seconds}s"
  if ! "$build/bin/fuzz_$t" "${args[@]}" "$corpus" "fuzz/corpus/$t" >"$log" 2>&1; then
    failed+=("$t")
    grep -E "ERROR|invariant broken|SUMMARY|Test unit written" "$log" | sed 's/^/  /' || true
  fi
  # The last status line (#N DONE/pulse cov: C ft: F ...) and the final statistics.
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1 || true)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  summary+=("$(printf '%-10s %12s %10s   %s' "$t" "${runs:-?}" "${rate:-?}" "${cov:-?}")")
done

printf '\n%-10s %12s %10s   %s\n' target executions exec/s coverage
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found crashes in: ${failed[*]} (inputs in $build/crashes/)" >&2
  exit 1
fi
