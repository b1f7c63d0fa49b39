# Sieve of Eratosthenes over a list of integer flags: count the primes below BENCH_N, five
# times over, folding every prime found into a checksum.
import time

BENCH_N = 2000000


def run(n):
    count = 0
    check = 0
    for _ in range(5):
        flags = [0] * n
        for i in range(1, n):
            flags[i] = 1
        i = 2
        while i * i < n:
            if flags[i]:
                for j in range(i * i, n, i):
                    flags[j] = 0
            i += 1
        count = 0
        for k in range(2, n):
            if flags[k]:
                count += 1
                check = (check * 31 + k) % 1000003
    return count, check


start = time.perf_counter()
count, check = run(BENCH_N)
print("result:", count, check)
print("elapsed_ms: %.1f" % ((time.perf_counter() - start) * 1000))
