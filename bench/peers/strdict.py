# String-key lookups: BENCH_N keys "k0", "k1", ... are made once and entered into a dictionary,
# then every key is looked up twenty times, summing the values found.
import time

BENCH_N = 200000


def run(n):
    keys = [None] * n
    d = {}
    for i in range(n):
        keys[i] = "k%d" % i
        d[keys[i]] = i % 1000
    total = 0
    for _ in range(20):
        for i in range(n):
            total = total + d[keys[i]]
        total = total % 1000003
    return len(d), total


start = time.perf_counter()
size, total = run(BENCH_N)
print("result:", size, total)
print("elapsed_ms: %.1f" % ((time.perf_counter() - start) * 1000))
