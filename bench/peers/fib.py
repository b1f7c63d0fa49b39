# Recursive Fibonacci: stresses calls, argument passing and integer arithmetic.
import time

BENCH_N = 30


def fib(n):
    if n < 2:
        return n
    return fib(n - 1) + fib(n - 2)


start = time.perf_counter()
result = fib(BENCH_N)
print("result:", result)
print("elapsed_ms: %.1f" % ((time.perf_counter() - start) * 1000))
