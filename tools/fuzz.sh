#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz (clang, ASan, UBSan) in build/fuzz and runs each
# for FUZZ_SECONDS seconds (default 20) on a copy of its kept corpus, so that the repository
# stays clean. Exits non-zero, naming the targets, on any crash, leak, time-out or sanitizer
# report; the input that caused it is left in build/fuzz/run/<target>/.
# FUZZ_TARGETS="mask retry" limits the run to those targets.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-20}"
make -s -f tests/fuzz/build.mk -j"$(nproc)"

targets=(${FUZZ_TARGETS:-$(cd build/fuzz/bin && ls)})
failed=()
for name in "${targets[@]}"; do
  run="build/fuzz/run/$name"
  rm -rf "$run"
  mkdir -p "$run/corpus"
  [ -d "tests/fuzz/corpus/$name" ] && cp -r "tests/fuzz/corpus/$name/." "$run/corpus/"
  dict=()
  [ -f "tests/fuzz/$name.dict" ] && dict=("-dict=tests/fuzz/$name.dict")
  # A single input slower than 10 s is a hang; -use_value_profile steers by compared values,
  # which the string and number parsers are full of.
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "build/fuzz/bin/$name" -max_total_time="$seconds" -timeout=10 -use_value_profile=1 \
      -artifact_prefix="$run/" "${dict[@]}" "$run/corpus" >"$run/log" 2>&1; then
    echo "fuzz $name: $(grep -E '^Done [0-9]+ runs' "$run/log" || echo done)"
  else
    echo "fuzz $name: FAILED (log: $run/log)"
    grep -E 'ERROR|invariant broken|runtime error|SUMMARY|Test unit written' "$run/log" | head -20 || true
    failed+=("$name")
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz: failed targets: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} targets, no findings in ${seconds}s each"
