#!/usr/bin/env python3
"""Runs the training set of a profile-guided build: every peer benchmark at a tenth of its size,
then the script tests (those that need no arguments, environment or other set-up), each in its
own directory with a time limit. What the scripts print and how they end does not matter here;
a script that cannot run is reported and skipped.

usage: train.py KV2
"""

import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run  # noqa: E402  (the benchmark list and the size rewriting)

SCRIPT_LIMIT_S = 10
# Lines of a script test that ask for set-up the training run does not give.
NEEDS_SET_UP = ("// args:", "// env:", "// needs:", "// nontest")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    kv2 = sys.argv[1]
    ran = skipped = 0
    with tempfile.TemporaryDirectory() as workdir:
        for name, modes in run.BENCHMARKS.items():
            size = max(1, modes["full"][0] // 10)
            script = run.prepare(name, "kvo", size, Path(workdir))
            subprocess.run([kv2, str(script)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=300, check=False)
            ran += 1
    for script in sorted((run.REPO / "tests" / "scripts").rglob("*.kvo")):
        text = script.read_text(errors="replace")
        if any(line.startswith(NEEDS_SET_UP) for line in text.splitlines()):
            skipped += 1
            continue
        try:
            subprocess.run([kv2, script.name], cwd=script.parent, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=SCRIPT_LIMIT_S,
                           check=False)
            ran += 1
        except subprocess.TimeoutExpired:
            print("training: %s did not end within %d s" % (script, SCRIPT_LIMIT_S), file=sys.stderr)
    print("training: %d programs run, %d skipped" % (ran, skipped))


if __name__ == "__main__":
    main()
