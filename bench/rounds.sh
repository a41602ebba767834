#!/bin/sh
# The picture of the throughput ratio per round before and after a change
# (docs/bench-rounds.png): bench.py on two builds in one sitting, one after
# the other, then plot_rounds.py over both result files.
#
#   bench/rounds.sh BEFORE_BUILD AFTER_BUILD OUT.png [bench.py options]
#
# BEFORE_BUILD is a build directory of the commit before the change,
# AFTER_BUILD one of the change (make build BUILD=...).  Extra options go
# to both bench.py runs; the published picture uses none (7 rounds).
set -eu
if [ $# -lt 3 ]; then
    echo "usage: $0 BEFORE_BUILD AFTER_BUILD OUT.png [bench.py options]" >&2
    exit 2
fi
before=$1 after=$2 out=$3
shift 3
top=$(cd "$(dirname "$0")/.." && pwd)
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
for side in before after; do
    eval build=\$$side
    PYTHONPATH="$top/sim" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 "$top/bench/bench.py" \
        --bin "$build/bin" --json "$results/$side.json" "$@"
done
/usr/bin/python3 "$top/bench/plot_rounds.py" --out "$out" --label before --label after \
    "$results/before.json" "$results/after.json"
