#!/usr/bin/env python3
"""Runs the peer benchmarks (Kivo, Lua 5.4, Python 3) and prints a comparison table.

Every program prints "result: ..." and, when its language can time itself, "elapsed_ms: ...".
A time is used only after the result has been checked against the expected value. Each program
runs several trials and the best one counts.

Timing: when every program of a benchmark timed itself, those times are used ("self"); otherwise
(Kivo's library may lack timer()) the runner times the whole process for all three languages
and subtracts the start-up time of a trivial program in the same language ("wall"). On a busy
machine --timing cpu (user+system time of the process, less start-up) is steadier.

The programs hold their problem size in a line "BENCH_N = <number>"; --smoke runs copies with
tiny sizes, which checks that every program still runs and computes the right thing.
"""

import argparse
import math
import os
import platform
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent

# name -> {mode: (problem size, expected result text)}
BENCHMARKS = {
    "fib": {"full": (30, "832040"), "smoke": (15, "610")},
    "loop": {"full": (10000000, "460166"), "smoke": (1000, "493350")},
    "method": {"full": (1000000, "2000000"), "smoke": (1000, "2000")},
    "strings": {"full": (20000, "250 8101"), "smoke": (1000, "250 395554")},
    "strlib": {"full": (100000, "915304 key99999:AlphA,betA,,gAmmA,deltA"),
               "smoke": (1000, "328423 key999:AlphA,betA,,gAmmA,deltA")},
    "dict": {"full": (50000, "50000 674762 50000"), "smoke": (500, "500 632138 500")},
    "sieve": {"full": (2000000, "148933 920671"), "smoke": (1000, "168 550102")},
    "nbody": {"full": (200000, "-0.169075164 -0.169083713"),
              "smoke": (1000, "-0.169075164 -0.169087605")},
    "strdict": {"full": (200000, "200000 994009"), "smoke": (500, "500 494994")},
    "mixed": {"full": (1000000, "49999986 586275 10 99010 50.019631"),
              "smoke": (1000, "50010 954349 10 100 31.646699")},
}

LANGUAGES = ("kvo", "lua", "py")
LANGUAGE_NAMES = {"kvo": "Kivo", "lua": "Lua", "py": "Python"}

# Trivial programs whose run time is the start-up cost of each language.
STARTUP_PROGRAMS = {
    "kvo": 'main()\n{\n    print("result: 0\\n");\n    return 0;\n}\n',
    "lua": 'print("result: 0")\n',
    "py": 'print("result: 0")\n',
}

SIZE_PATTERN = re.compile(r"(BENCH_N\s*=\s*)\d+")
RESULT_PATTERN = re.compile(r"^result:\s*(.*?)\s*$", re.MULTILINE)
ELAPSED_PATTERN = re.compile(r"^elapsed_ms:\s*([0-9.]+)", re.MULTILINE)


class CheckFailed(Exception):
    """A program failed or printed a result other than the expected one."""


def find_kv2(explicit):
    if explicit:
        path = Path(explicit).resolve()
        if not path.exists():
            sys.exit("kv2 not found at %s" % path)
        return path
    for candidate in ("build-bench/bin/kv2", "build/bin/kv2"):
        path = REPO / candidate
        if path.exists():
            return path
    sys.exit("kv2 not found; build it or pass --kv2 PATH")


def find_program(explicit, names):
    if explicit:
        return explicit
    for name in names:
        path = shutil.which(name)
        if path:
            return path
    sys.exit("none of %s found; run scripts/install-deps.sh --bench" % ", ".join(names))


def command_for(lang, script, tools):
    if lang == "kvo":
        return [str(tools["kvo"]), str(script)]
    return [tools[lang], str(script)]


def run_once(lang, script, tools, timeout):
    """Runs one program; returns (result text, self-reported ms or None, wall ms, CPU ms)."""
    cmd = command_for(lang, script, tools)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout,
                              cwd=script.parent)
    except OSError as error:
        raise CheckFailed("cannot run %s: %s" % (cmd[0], error))
    except subprocess.TimeoutExpired:
        raise CheckFailed("%s timed out after %d s" % (" ".join(cmd), timeout))
    wall_ms = (time.perf_counter() - started) * 1000.0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu_ms = (after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime) * 1000.0
    if proc.returncode != 0:
        raise CheckFailed("%s exited with %d:\n%s%s" % (" ".join(cmd), proc.returncode,
                                                        proc.stdout, proc.stderr))
    match = RESULT_PATTERN.search(proc.stdout)
    if not match:
        raise CheckFailed("%s printed no result:\n%s%s" % (" ".join(cmd), proc.stdout,
                                                           proc.stderr))
    elapsed = ELAPSED_PATTERN.search(proc.stdout)
    return (" ".join(match.group(1).split()), float(elapsed.group(1)) if elapsed else None,
            wall_ms, cpu_ms)


def prepare(name, lang, size, workdir):
    """Writes a copy of the program with its problem size set; returns its path."""
    source = (HERE / ("%s.%s" % (name, lang))).read_text()
    text, count = SIZE_PATTERN.subn(lambda m: m.group(1) + str(size), source, count=1)
    if count != 1:
        raise CheckFailed("%s.%s has no BENCH_N line" % (name, lang))
    path = workdir / ("%s.%s" % (name, lang))
    path.write_text(text)
    return path


def best_of(lang, script, tools, trials, timeout, expected):
    """Best self-reported, wall and CPU times over the trials, after checking each result."""
    self_times, wall_times, cpu_times = [], [], []
    for _ in range(trials):
        result, self_ms, wall_ms, cpu_ms = run_once(lang, script, tools, timeout)
        if expected is not None and result != expected:
            raise CheckFailed("%s: expected result '%s', got '%s'" % (script.name, expected, result))
        self_times.append(self_ms)
        wall_times.append(wall_ms)
        cpu_times.append(cpu_ms)
    # NaN marks a program that does not time itself.
    best_self = float("nan") if None in self_times else min(self_times)
    return best_self, min(wall_times), min(cpu_times)


def machine_line(tools):
    cpu = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    build_type = "?"
    cache = Path(tools["kvo"]).resolve().parent.parent / "CMakeCache.txt"
    if cache.exists():
        match = re.search(r"^CMAKE_BUILD_TYPE:STRING=(.*)$", cache.read_text(), re.MULTILINE)
        if match:
            build_type = match.group(1) or "(none)"
    lua_version = subprocess.run([tools["lua"], "-v"], capture_output=True,
                                 text=True).stdout.strip()
    py_version = subprocess.run([tools["py"], "--version"], capture_output=True,
                                text=True).stdout.strip()
    return ("machine: %s, %d cores, %s | kv2: %s (%s) | %s | %s"
            % (cpu, os.cpu_count() or 0, platform.platform(), tools["kvo"], build_type,
               lua_version, py_version))


def ratio(a, b):
    if a is None or b is None or b <= 0:
        return "-"
    return "%.2f" % (a / b)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kv2", help="path of kv2 (default build-bench/bin/kv2, then build/bin/kv2)")
    parser.add_argument("--lua", help="Lua 5.4 interpreter (default lua5.4)")
    parser.add_argument("--python", help="Python 3 interpreter (default python3)")
    parser.add_argument("--trials", type=int, default=3, help="runs per program; the best counts")
    parser.add_argument("--smoke", action="store_true", help="tiny problem sizes, one trial")
    parser.add_argument("--timing", choices=("auto", "self", "wall", "cpu"), default="auto",
                        help="self-reported times, process wall or CPU (user+system) times less "
                             "start-up; auto: self when every program has it, else wall")
    parser.add_argument("--timeout", type=int, default=600, help="seconds per run")
    parser.add_argument("benchmarks", nargs="*", help="subset of: " + ", ".join(BENCHMARKS))
    args = parser.parse_args()

    tools = {
        "kvo": find_kv2(args.kv2),
        "lua": find_program(args.lua, ("lua5.4", "lua")),
        "py": find_program(args.python, ("python3",)),
    }
    # A launcher script in front of the interpreter (a version manager's shim) would add its own
    # start-up time to every run: ask the interpreter for its real path.
    tools["py"] = subprocess.run([tools["py"], "-c", "import sys; print(sys.executable)"],
                                 capture_output=True, text=True).stdout.strip() or tools["py"]
    names = args.benchmarks or list(BENCHMARKS)
    for name in names:
        if name not in BENCHMARKS:
            sys.exit("unknown benchmark %s" % name)
    mode = "smoke" if args.smoke else "full"
    trials = 1 if args.smoke else max(1, args.trials)

    print(machine_line(tools))
    failures = 0
    rows = []
    notes = []
    with tempfile.TemporaryDirectory(prefix="kivo-peers-") as tmp:
        workdir = Path(tmp)
        startup = {}
        for lang in LANGUAGES:
            path = workdir / ("startup.%s" % lang)
            path.write_text(STARTUP_PROGRAMS[lang])
            startup[lang] = best_of(lang, path, tools, max(trials, 5), args.timeout, "0")
        print("start-up ms (subtracted), wall: "
              + ", ".join("%s %.1f" % (LANGUAGE_NAMES[l], startup[l][1]) for l in LANGUAGES)
              + "; CPU: "
              + ", ".join("%s %.1f" % (LANGUAGE_NAMES[l], startup[l][2]) for l in LANGUAGES))

        for name in names:
            size, expected = BENCHMARKS[name][mode]
            times = {}
            try:
                for lang in LANGUAGES:
                    script = prepare(name, lang, size, workdir)
                    times[lang] = best_of(lang, script, tools, trials, args.timeout, expected)
            except CheckFailed as error:
                failures += 1
                print("FAILED %s: %s" % (name, error), file=sys.stderr)
                rows.append((name, size, None, None))
                continue
            have_self = not any(math.isnan(times[l][0]) for l in LANGUAGES)
            how = "self" if args.timing == "auto" and have_self else args.timing
            how = "wall" if how == "auto" else how
            use_self = how == "self"
            if use_self and not have_self:
                print("FAILED %s: not every program reports its own time" % name, file=sys.stderr)
                failures += 1
                rows.append((name, size, None, None))
                continue
            if use_self:
                chosen = {l: times[l][0] for l in LANGUAGES}
            else:
                index = 1 if how == "wall" else 2
                chosen = {l: max(0.0, times[l][index] - startup[l][index]) for l in LANGUAGES}
            rows.append((name, size, chosen, how))
            if not use_self:
                # The programs' own times, where they have them: a check on the start-up correction.
                own = ", ".join("%s %.1f" % (LANGUAGE_NAMES[l], times[l][0])
                                for l in LANGUAGES if not math.isnan(times[l][0]))
                if own:
                    notes.append("%s: self-reported ms: %s" % (name, own))

    print()
    header = "%-8s %10s %10s %10s %10s %9s %9s  %s" % (
        "bench", "size", "Kivo ms", "Lua ms", "Python ms", "Kivo/Lua", "Kivo/Py", "timing")
    print(header)
    print("-" * len(header))
    for name, size, chosen, how in rows:
        if chosen is None:
            print("%-8s %10d %s" % (name, size, "FAILED (see the message above)"))
            continue
        print("%-8s %10d %10.1f %10.1f %10.1f %9s %9s  %s" % (
            name, size, chosen["kvo"], chosen["lua"], chosen["py"],
            ratio(chosen["kvo"], chosen["lua"]), ratio(chosen["kvo"], chosen["py"]), how))
    for note in notes:
        print(note)
    print("best of %d trial(s); ratios above 1 mean Kivo is slower" % trials)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
