#!/usr/bin/env bash
# Runs a test program under many seeds and both scheduling policies, and
# prints the replay line of every failing run.
#   tools/soak.sh build/host/tests/driver_tests [first_seed] [last_seed] [gtest filter]
set -uo pipefail
program=${1:?usage: tools/soak.sh TEST_PROGRAM [FIRST] [LAST] [FILTER]}
first=${2:-1}
last=${3:-50}
filter=${4:-*}
failures=0
runs=0
for policy in random pct; do
  for seed in $(seq "$first" "$last"); do
    runs=$((runs + 1))
    if ! VAX_SEED=$seed VAX_SCHED=$policy "$program" --gtest_filter="$filter" --gtest_brief=1 \
         >/tmp/soak.$$ 2>&1; then
      failures=$((failures + 1))
      echo "FAILED: VAX_SEED=$seed VAX_SCHED=$policy $program --gtest_filter='$filter'"
      grep -E "FAILED|Failure|driver check" /tmp/soak.$$ | head -5
    fi
  done
done
rm -f /tmp/soak.$$
echo "$((runs - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
