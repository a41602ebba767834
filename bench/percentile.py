"""The one percentile of the benchmarks (bench.py, also over the
latencies bench-driver measures, bench_mta.py, engines_bench.py): the
value at rank q * (n - 1), rounded to the nearest, of the sorted values, q
from 0 to 1 (0.5 the median of an odd count, 0.99 the 99th percentile);
nan for no values.  p99 of 100, 1000 or 3000 values is also the
nearest-rank value; the median of an even count is the upper middle one."""


def percentile(values, q):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * (len(ordered) - 1) + 0.5))]
