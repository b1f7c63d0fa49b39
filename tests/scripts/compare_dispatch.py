#!/usr/bin/env python3
"""Runs test scripts twice, with the interpreter's fused instructions and with every instruction
run by itself (KIVO_PLAIN_DISPATCH=1), and checks that both runs print the same and end the same.

usage: compare_dispatch.py [--trace] KV2 SCRIPT.kvo...

--trace runs kv2 -t: the traces, which show the designed instructions only, must be equal too.
Addresses (runs of eight or more hexadecimal digits) are masked, since they differ between runs.
Exit status 0 when every script agrees, 1 otherwise, listing the scripts that differ.
"""

import os
import re
import subprocess
import sys

ADDRESS = re.compile(r"\b[0-9A-Fa-f]{8,16}\b")


def run(kv2, script, trace, plain):
    env = dict(os.environ, KIVO_HEADLESS="1")
    env.pop("KIVO_PLAIN_DISPATCH", None)
    if plain:
        env["KIVO_PLAIN_DISPATCH"] = "1"
    command = [kv2] + (["-t"] if trace else []) + [os.path.basename(script)]
    result = subprocess.run(command, cwd=os.path.dirname(script) or ".", env=env, capture_output=True,
                            stdin=subprocess.DEVNULL, timeout=300)
    masked = [ADDRESS.sub("#", stream.decode("utf-8", "replace")) for stream in (result.stdout, result.stderr)]
    return result.returncode, masked[0], masked[1]


def main():
    arguments = sys.argv[1:]
    trace = "--trace" in arguments
    arguments = [a for a in arguments if a != "--trace"]
    if len(arguments) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    kv2, scripts = arguments[0], arguments[1:]
    differing = []
    for script in scripts:
        fused = run(kv2, script, trace, plain=False)
        plain = run(kv2, script, trace, plain=True)
        if fused != plain:
            differing.append(script)
            print(f"{script}: the fused run differs from the plain one", file=sys.stderr)
            print(f"  exit status {fused[0]} / {plain[0]}", file=sys.stderr)
    print(f"{len(scripts)} scripts, {len(differing)} differ")
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
