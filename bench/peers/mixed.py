# A mixed workload, like a typical script: each round deposits an amount into one of 16
# account objects (method calls), builds a label string, counts a key in a dictionary, keeps
# the last amounts in a list and updates a double-precision average, folding everything into
# a checksum.
import time

BENCH_N = 1000000


class Account:
    def __init__(self, name):
        self.name = name
        self.balance = 0
        self.deposits = 0

    def deposit(self, amount):
        self.balance = self.balance + amount
        self.deposits += 1
        return self.balance

    def get_balance(self):
        return self.balance

    def label(self):
        return self.name + "#" + str(self.deposits)


def run(n):
    accounts = [Account("acct%d" % i) for i in range(16)]
    tally = {}
    recent = [0] * 8
    check = 0
    average = 0.0
    for i in range(n):
        amount = (i * 37) % 101
        account = accounts[(i * 7) % 16]
        account.deposit(amount)
        line = account.label() + ":" + str(amount)
        key = "c" + str(amount % 10)
        if key in tally:
            tally[key] = tally[key] + 1
        else:
            tally[key] = 1
        recent[i % 8] = amount
        average = average * 0.999 + amount * 0.001
        check = (check * 31 + len(line) + recent[(i + 3) % 8]) % 1000003
    total = sum(account.get_balance() for account in accounts)
    return total, check, len(tally), tally["c3"], average


start = time.perf_counter()
total, check, keys, c3, average = run(BENCH_N)
print("result: %d %d %d %d %.6f" % (total, check, keys, c3, average))
print("elapsed_ms: %.1f" % ((time.perf_counter() - start) * 1000))
