# Method calls on an object: a counter with one field and small methods. The loop body
# makes eight calls so that the loop itself does not dominate; each iteration adds 2 in total.
import time

BENCH_N = 1000000


class Counter:
    def __init__(self, start):
        self.n = start

    def inc(self):
        self.n = self.n + 1
        return self.n

    def dec(self):
        self.n = self.n - 1
        return self.n

    def add(self, k):
        self.n = self.n + k
        return self.n

    def sub(self, k):
        self.n = self.n - k
        return self.n

    def value(self):
        return self.n


def run(n):
    c = Counter(0)
    for _ in range(n):
        c.inc()
        c.inc()
        c.dec()
        c.add(3)
        c.sub(2)
        c.inc()
        c.dec()
        c.value()
    return c.value()


start = time.perf_counter()
result = run(BENCH_N)
print("result:", result)
print("elapsed_ms: %.1f" % ((time.perf_counter() - start) * 1000))
