#!/usr/bin/env python3
"""Compares builds of kv2 with each other and with Lua 5.4 on the peer programs: every program
is run by each build and by Lua in turn, TRIALS times, and the best CPU time (user + system) of
each counts. Taking turns spreads a busy machine's load over all of them alike, which makes the
ratios steadier than separate runs.

usage: compare_builds.py [--trials N] [--lua LUA] KV2 [KV2 ...]
"""

import argparse
import os
import resource
import subprocess

BENCHMARKS = ["fib", "loop", "method", "strings", "strlib", "dict", "sieve", "nbody", "strdict", "mixed"]
HERE = os.path.dirname(os.path.abspath(__file__))


def cpu_seconds(command):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=HERE, check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trials", type=int, default=7)
    parser.add_argument("--lua", default="lua5.4")
    parser.add_argument("builds", nargs="+", help="kv2 executables")
    args = parser.parse_args()
    builds = [os.path.abspath(build) for build in args.builds]
    print("bench    " + " ".join(f"{'kv2 #' + str(i + 1):>8}" for i in range(len(builds))) +
          f" {'lua':>8}   kivo/lua per build")
    for bench in BENCHMARKS:
        best = [float("inf")] * (len(builds) + 1)
        for _ in range(args.trials):
            for i, build in enumerate(builds):
                best[i] = min(best[i], cpu_seconds([build, f"{bench}.kvo"]))
            best[-1] = min(best[-1], cpu_seconds([args.lua, f"{bench}.lua"]))
        times = " ".join(f"{seconds * 1000:8.0f}" for seconds in best)
        ratios = " ".join(f"{seconds / best[-1]:.2f}" for seconds in best[:-1])
        print(f"{bench:8s} {times}   {ratios}", flush=True)


if __name__ == "__main__":
    main()
