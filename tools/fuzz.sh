#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz (clang, ASan, UBSan) in build/fuzz and runs each
# for FUZZ_SECONDS seconds (default 20) on a copy of its kept corpus, so that the repository
# stays clean; FUZZ_JOBS targets at a time (default: one per core). Exits non-zero, naming the
# targets, on any crash, leak, time-out or sanitizer report; the input that caused it is left
# in build/fuzz/run/<target>/. FUZZ_TARGETS="mask retry" limits the run to those targets.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-20}"
jobs_max="${FUZZ_JOBS:-$(nproc)}"
make -s -f tests/fuzz/build.mk -j"$(nproc)"

run_target() {
  local name="$1" run="build/fuzz/run/$1"
  rm -rf "$run"
  mkdir -p "$run/corpus"
  [ -d "tests/fuzz/corpus/$name" ] && cp -r "tests/fuzz/corpus/$name/." "$run/corpus/"
  local dict=()
  [ -f "tests/fuzz/$name.dict" ] && dict=("-dict=tests/fuzz/$name.dict")
  # A single input slower than 10 s is a hang; -use_value_profile steers by compared values,
  # which the string and number parsers are full of.
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "build/fuzz/bin/$name" -max_total_time="$seconds" -timeout=10 -use_value_profile=1 \
      -artifact_prefix="$run/" "${dict[@]}" "$run/corpus" >"$run/log" 2>&1; then
    echo "fuzz $name: $(grep -E '^Done [0-9]+ runs' "$run/log" || echo done)" >"$run/result"
  else
    {
      echo "fuzz $name: FAILED (log: $run/log)"
      grep -E 'ERROR|invariant broken|runtime error|SUMMARY|Test unit written' "$run/log" | head -20
    } >"$run/result"
    touch "$run/failed"
  fi
}

# One target per tests/fuzz/*.cpp: a binary left in build/ by a removed target is not run.
targets=(${FUZZ_TARGETS:-$(cd tests/fuzz && ls *.cpp | sed 's/\.cpp$//')})
for name in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do wait -n || true; done
  run_target "$name" &
done
wait

failed=()
for name in "${targets[@]}"; do
  cat "build/fuzz/run/$name/result"
  [ ! -e "build/fuzz/run/$name/failed" ] || failed+=("$name")
done
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz: failed targets: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} targets, no findings in ${seconds}s each"
