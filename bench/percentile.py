"""The one percentile of the benchmarks (bench.py, bench_mta.py,
engines_bench.py; bench_driver.cpp computes the same): the value at rank
q * (n - 1), rounded to the nearest, of the sorted values, q from 0 to 1
(0.5 the median of an odd count, 0.99 the 99th percentile); nan for no
values."""


def percentile(values, q):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * (len(ordered) - 1) + 0.5))]
