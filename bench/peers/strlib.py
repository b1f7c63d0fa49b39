# String library work: each round formats one record line, splits it at two delimiters, finds a
# word, replaces every "a" by "A" and takes a substring, folding the results into a checksum.
import time

BENCH_N = 100000


def run(n):
    check = 0
    s = ""
    for r in range(n):
        s = "key%d:alpha,beta,,gamma,delta" % r
        tokens = [token for token in s.replace(":", ",").split(",") if token]
        found = s.find("gamma")
        s = s.replace("a", "A")
        part = s[3:8]
        check = (check * 31 + len(tokens) + found + ord(part[0]) + len(s) + len(tokens[-1])) % 1000003
    return check, s


start = time.perf_counter()
check, last = run(BENCH_N)
print("result:", check, last)
print("elapsed_ms: %.1f" % ((time.perf_counter() - start) * 1000))
