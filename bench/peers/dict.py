# Dictionary work: 50,000 distinct string keys inserted, every key looked up twice, and as many
# absent keys tested, folding the values found into a checksum.
import time

BENCH_N = 50000


def run(n):
    d = {}
    for i in range(n):
        d["key%d" % i] = i
    check = 0
    for _ in range(2):
        for i in range(n):
            check = (check * 31 + d["key%d" % i]) % 1000003
    missing = 0
    for i in range(n):
        if ("absent%d" % i) not in d:
            missing += 1
    return len(d), check, missing


start = time.perf_counter()
size, check, missing = run(BENCH_N)
print("result:", size, check, missing)
print("elapsed_ms: %.1f" % ((time.perf_counter() - start) * 1000))
