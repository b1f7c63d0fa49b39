# A counted loop of integer arithmetic (multiply, mask, remainder, add).
import time

BENCH_N = 10000000


def run(n):
    acc = 0
    for i in range(n):
        acc = (acc * 31 + (i & 255) + i % 7) % 1000003
    return acc


start = time.perf_counter()
result = run(BENCH_N)
print("result:", result)
print("elapsed_ms: %.1f" % ((time.perf_counter() - start) * 1000))
