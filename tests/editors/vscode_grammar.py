#!/usr/bin/env python3
"""Installs the TextMate grammar's test tool into the build tree and runs the grammar's tests.

usage: vscode_grammar.py install EXTENSION_DIR WORK_DIR
       vscode_grammar.py test EXTENSION_DIR WORK_DIR

install copies the extension's package.json and package-lock.json into WORK_DIR and runs
`npm ci` there, so the source tree stays clean and the tool's version is the locked one. test
runs that tool on the annotated samples EXTENSION_DIR/tests/*.kvo with the grammar the
extension's package.json contributes. A missing npm, an unreachable registry or a missing tool is
a failure (exit status 1) with a message that says so, never a silent pass.
"""

import shutil
import subprocess
import sys
from pathlib import Path

TOOL = "vscode-tmgrammar-test"


def fail(message):
    print(f"vscode grammar: {message}", file=sys.stderr)
    return 1


def install(extension: Path, work: Path):
    npm = shutil.which("npm")
    if npm is None:
        return fail("npm not found; the grammar tests need Node.js and npm (scripts/install-deps.sh installs them)")
    work.mkdir(parents=True, exist_ok=True)
    for name in ("package.json", "package-lock.json"):
        if not (extension / name).is_file():
            return fail(f"{extension / name} is missing")
        shutil.copyfile(extension / name, work / name)
    command = [npm, "ci", "--ignore-scripts", "--no-audit", "--no-fund"]
    try:
        result = subprocess.run(command, cwd=work, capture_output=True, text=True, timeout=280)
    except subprocess.TimeoutExpired:
        return fail(f"`npm ci` in {work} took too long; is the npm registry reachable?")
    if result.returncode != 0:
        sys.stderr.write(result.stdout + result.stderr)
        return fail(f"`npm ci` failed in {work} (status {result.returncode}); installing {TOOL} "
                    "needs the npm registry, see the messages above")
    print(f"{TOOL} installed in {work / 'node_modules'}")
    return 0


def test(extension: Path, work: Path):
    tool = work / "node_modules" / ".bin" / TOOL
    if not tool.exists():
        return fail(f"{tool} is missing; the test editors.vscode_npm_ci installs it")
    samples = sorted(str(path) for path in (extension / "tests").glob("*.kvo"))
    if not samples:
        return fail(f"no samples in {extension / 'tests'}")
    command = [str(tool), "--config", str(extension / "package.json"), *samples]
    result = subprocess.run(command, cwd=work, timeout=120)
    if result.returncode != 0:
        return fail(f"{TOOL} reported failures (status {result.returncode})")
    return 0


def main(argv):
    if len(argv) != 4 or argv[1] not in ("install", "test"):
        print(__doc__, file=sys.stderr)
        return 2
    action = install if argv[1] == "install" else test
    return action(Path(argv[2]).resolve(), Path(argv[3]).resolve())


if __name__ == "__main__":
    sys.exit(main(sys.argv))
