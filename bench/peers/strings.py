# String building: each round concatenates 100 small pieces (250 characters) onto an empty
# string, then folds one character code of the result into a checksum.
import time

BENCH_N = 20000


def run(n):
    check = 0
    s = ""
    for r in range(n):
        s = ""
        for _ in range(25):
            s = s + "a"
            s = s + "bc"
            s = s + "def"
            s = s + "ghij"
        check = (check * 31 + ord(s[r % 250])) % 1000003
    return len(s), check


start = time.perf_counter()
length, check = run(BENCH_N)
print("result:", length, check)
print("elapsed_ms: %.1f" % ((time.perf_counter() - start) * 1000))
