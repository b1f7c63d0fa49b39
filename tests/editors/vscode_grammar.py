#!/usr/bin/env python3
"""Installs the TextMate grammar's test tool into the build tree and runs the grammar's tests.

usage: vscode_grammar.py install EXTENSION_DIR WORK_DIR
       vscode_grammar.py test EXTENSION_DIR WORK_DIR [CLEAN_DIR...]

install copies the extension's package.json and package-lock.json into WORK_DIR and runs
`npm ci` there, so the source tree stays clean and the tool's version is the locked one. test
runs that tool on the annotated samples EXTENSION_DIR/tests/*.kvo with the grammar the
extension's package.json contributes, and then checks that no script under the CLEAN_DIRs
that compiles cleanly (has no expected compile error) has a token the grammar marks invalid.
A missing npm, an unreachable registry or a missing tool is
a failure (exit status 1) with a message that says so, never a silent pass.
"""

import os
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


def clean_scripts(roots):
    """The scripts under the roots that compile without an error."""
    scripts = []
    for root in roots:
        for path in sorted(root.rglob("*.kvo")):
            if "expect compile error" not in path.read_text(encoding="utf-8", errors="replace"):
                scripts.append(str(path))
    return scripts


def test(extension: Path, work: Path, clean_roots):
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
    if clean_roots:
        scripts = clean_scripts(clean_roots)
        if not scripts:
            return fail(f"no scripts under {', '.join(map(str, clean_roots))}")
        node = shutil.which("node")
        if node is None:
            return fail("node not found")
        grammar = extension / "syntaxes" / "kivo.tmLanguage.json"
        checker = Path(__file__).resolve().parent / "tm_false_errors.js"
        environment = dict(os.environ, NODE_PATH=str(work / "node_modules"))
        result = subprocess.run([node, str(checker), str(grammar), *scripts], cwd=work, env=environment, timeout=120)
        if result.returncode != 0:
            return fail("the grammar marks parts of scripts that compile cleanly as errors")
    return 0


def main(argv):
    if len(argv) < 4 or argv[1] not in ("install", "test") or (argv[1] == "install" and len(argv) != 4):
        print(__doc__, file=sys.stderr)
        return 2
    extension, work = Path(argv[2]).resolve(), Path(argv[3]).resolve()
    if argv[1] == "install":
        return install(extension, work)
    return test(extension, work, [Path(root).resolve() for root in argv[4:]])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
