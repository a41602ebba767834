#!/bin/bash
# make test-stress: the plain suite and the ThreadSanitizer suite, ROUNDS
# times each (default 3), while stress-ng keeps every CPU of the machine
# busy; passes only when every run passed.  Each run's output goes to
# build-reports/stress/ROUND-SUITE.log (shown when it fails); a summary of
# every run (round, suite, result, seconds) ends the output.  Both builds
# are made before the load begins (the Makefile's test-stress does).
#
# stress-ng runs in a process group of its own, which is stopped when this
# script ends, whatever ends it.
set -u
cd "$(dirname "$0")/../.."
rounds=${ROUNDS:-3}
logs=$PWD/build-reports/stress
rm -rf "$logs" && mkdir -p "$logs"

# One CPU worker per CPU (--cpu 0), each busy all the time.
setsid stress-ng --cpu 0 --cpu-load 100 --quiet &
stress=$!
stop_stress() {
  kill -TERM -- "-$stress" 2>/dev/null
  wait "$stress" 2>/dev/null
}
trap stop_stress EXIT
trap 'exit 130' INT TERM HUP
echo "stress-ng: $(nproc) CPU worker(s), process group $stress"

summary=()
failed=0
for round in $(seq 1 "$rounds"); do
  for suite in plain tsan; do
    log="$logs/$round-$suite.log"
    echo "round $round, $suite suite (log: $log)"
    started=$(date +%s)
    if make --no-print-directory "test-$suite" >"$log" 2>&1; then
      result=passed
    else
      result=FAILED
      failed=1
      tail -40 "$log"
    fi
    seconds=$(( $(date +%s) - started ))
    echo "round $round, $suite suite: $result in $seconds s"
    summary+=("$(printf '%5s  %-6s  %-6s  %6d s' "$round" "$suite" "$result" "$seconds")")
  done
done

echo "round  suite   result   time"
printf '%s\n' "${summary[@]}"
if [ "$failed" = 0 ]; then
  echo "test-stress: every run passed"
else
  echo "test-stress: FAILED (logs in $logs)"
fi
exit "$failed"
