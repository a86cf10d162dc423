#!/usr/bin/env bash
# Runs commands side by side and reports each as it would alone: the Python suites spend most
# of their time waiting on loopback servers and timers, so two of them on two cores take little
# more than one. Each argument is "name: command"; its output goes to build/logs/<name>.log and
# is printed whole when it fails (its last lines when it passes). Exits non-zero if any failed.
set -uo pipefail
cd "$(dirname "$0")/.."
mkdir -p build/logs
names=() pids=()
for job in "$@"; do
  name="${job%%:*}" command="${job#*:}"
  bash -c "$command" >"build/logs/$name.log" 2>&1 &
  names+=("$name") pids+=($!)
done
failed=()
for i in "${!pids[@]}"; do
  if wait "${pids[$i]}"; then
    echo "== ${names[$i]}: passed"
    tail -n 3 "build/logs/${names[$i]}.log"
  else
    failed+=("${names[$i]}")
  fi
done
for name in "${failed[@]}"; do
  echo "== $name: FAILED"
  cat "build/logs/$name.log"
done
[ "${#failed[@]}" -eq 0 ]
