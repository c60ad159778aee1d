#!/usr/bin/env bash
# Runs make targets one after another as the stages of a check, prints a line
# with each stage's time as it ends and a table of all of them at the close.
# A failed stage does not stop the later ones: a formatting diff should not
# hide what the tests say. The exit status is 1 when any stage failed.
# Usage: tools/stages.sh MAKE STAGE...
set -uo pipefail
make_cmd=$1
shift

summary=()
passed=0 failed=0
run_start=$(date +%s%N)
for stage in "$@"; do
  echo "==> stage $stage"
  start=$(date +%s%N)
  if $make_cmd --no-print-directory "$stage"; then
    result=ok
    passed=$((passed + 1))
  else
    result=FAILED
    failed=$((failed + 1))
  fi
  ms=$((($(date +%s%N) - start) / 1000000))
  line=$(printf '%-14s %7d.%d s  %s' "$stage" $((ms / 1000)) $((ms % 1000 / 100)) "$result")
  echo "<== stage $line"
  summary+=("$line")
done
ms=$((($(date +%s%N) - run_start) / 1000000))

echo
echo "stage            time      result"
printf '%s\n' "${summary[@]}"
printf '%-14s %7d.%d s\n' total $((ms / 1000)) $((ms % 1000 / 100))
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
