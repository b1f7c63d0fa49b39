#!/usr/bin/env python3
"""Runs one Kivo test script with kv2 and checks it against the expectations written in it.

usage: run_script_test.py KV2 SCRIPT.kvo

Markers in the script (each in a // comment, anywhere on a line):
  // expect: TEXT                 the next line of output is TEXT
  // expect runtime error: TEXT   the uncaught error's text ends the output; exit status 255
  // expect compile error: TEXT   a diagnostic whose message contains TEXT, for this line;
                                  exit status 255 (every diagnostic must be expected)
  // args: WORDS                  words passed after the script (shell-like quoting)
  // env: NAME=VALUE              an environment variable set for the run (one per marker)
  // exit: N                      expected exit status (default 0, or 255 after an error)
  // nontest                      not a test (a helper of other scripts): nothing is run
  // needs: low-heap              the script hands heap addresses to native code, which needs
                                  the low heap: in a build without it (KIVO_TEST_LOW_HEAP=0)
                                  the test is skipped (exit status 77)

The script runs in its own directory, in a new session (so no message box waits on a terminal),
with XDG_CONFIG_HOME pointing at an empty temporary directory (so the user's environment store is
neither read nor changed). Exit status 0 when every expectation holds, 1 otherwise; a failure
prints a diff of expected and actual output.
"""

import difflib
import os
import re
import shlex
import subprocess
import sys
import tempfile

EXPECT_PATTERN = re.compile(r"// expect: ?(.*)")
RUNTIME_ERROR_PATTERN = re.compile(r"// expect runtime error: ?(.*)")
COMPILE_ERROR_PATTERN = re.compile(r"// expect compile error: ?(.*)")
ARGS_PATTERN = re.compile(r"// args: ?(.*)")
ENV_PATTERN = re.compile(r"// env: ?([A-Za-z_][A-Za-z0-9_]*)=(.*)")
EXIT_PATTERN = re.compile(r"// exit: ?(-?\d+)")
NONTEST_PATTERN = re.compile(r"// nontest")
NEEDS_PATTERN = re.compile(r"// needs: ?([a-z-]+)")
# What the build offers to "// needs:" markers, and the status that tells CTest a test was skipped.
KNOWN_NEEDS = {"low-heap"}
SKIP_EXIT_STATUS = 77
# A compiler diagnostic: "--> message \nin source line N pos P \nsource text\n".
DIAGNOSTIC_PATTERN = re.compile(r"--> (.*) \nin (.*) line (-?\d+) pos (\d+) \n")

ERROR_EXIT_STATUS = 255
# Generous: the scripts that fill memory up to the library's bounds take most of a minute on a
# loaded two-core machine; the limit is only there to end a hang.
TIMEOUT_SECONDS = 180


class Expectations:
    """What one script expects, read from its markers."""

    def __init__(self, path):
        self.output = []            # expected output lines, in order
        self.runtime_error = None   # (line number, text)
        self.compile_errors = []    # (line number, text)
        self.args = []
        self.environment = {}
        self.exit_status = None
        self.nontest = False
        self.needs = set()
        self.problems = []          # mistakes in the markers themselves
        with open(path, encoding="utf-8", errors="surrogateescape") as script:
            for number, line in enumerate(script, start=1):
                self._read_line(number, line.rstrip("\r\n"))
        if self.exit_status is None:
            failing = self.runtime_error or self.compile_errors
            self.exit_status = ERROR_EXIT_STATUS if failing else 0
        if self.runtime_error and self.compile_errors:
            self.problems.append("a script cannot expect both a runtime and a compile error")
        if self.compile_errors and self.output:
            self.problems.append("a script that fails to compile prints nothing: drop its '// expect:' lines")

    def _read_line(self, number, line):
        if NONTEST_PATTERN.search(line):
            self.nontest = True
        match = NEEDS_PATTERN.search(line)
        if match:
            if match.group(1) in KNOWN_NEEDS:
                self.needs.add(match.group(1))
            else:
                self.problems.append(f"line {number}: unknown need '{match.group(1)}'")
            return
        match = RUNTIME_ERROR_PATTERN.search(line)
        if match:
            if self.runtime_error:
                self.problems.append(f"line {number}: a second runtime error can never be reached")
            self.runtime_error = (number, match.group(1))
            return
        match = COMPILE_ERROR_PATTERN.search(line)
        if match:
            self.compile_errors.append((number, match.group(1)))
            return
        match = EXPECT_PATTERN.search(line)
        if match:
            if self.runtime_error:
                self.problems.append(f"line {number}: output expected after the uncaught error")
            self.output.append(match.group(1))
            return
        match = ARGS_PATTERN.search(line)
        if match:
            self.args.extend(shlex.split(match.group(1)))
            return
        match = ENV_PATTERN.search(line)
        if match:
            self.environment[match.group(1)] = match.group(2).strip()
            return
        match = EXIT_PATTERN.search(line)
        if match:
            self.exit_status = int(match.group(1)) & 0xFF

    def count(self):
        return (len(self.output) + (1 if self.runtime_error else 0) + len(self.compile_errors) + 1)


def output_lines(text):
    """The output split into lines; a final line without a line end counts as a line."""
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


def diff(expected, actual):
    return "\n".join(difflib.unified_diff(expected, actual, "expected", "actual", lineterm=""))


def check_compile_errors(expected, stdout):
    """Each expected compile error must be reported for its line, and nothing else."""
    failures = []
    reported = [(int(m.group(3)), m.group(1)) for m in DIAGNOSTIC_PATTERN.finditer(stdout)]
    unmatched = list(reported)
    for line, text in expected:
        found = next((r for r in unmatched if r[0] == line and text in r[1]), None)
        if found:
            unmatched.remove(found)
        else:
            failures.append(f"missing compile error on line {line}: {text}")
    for line, text in unmatched:
        failures.append(f"unexpected compile error on line {line}: {text}")
    if not reported:
        failures.append("no diagnostic found in the output")
    return failures


def check_output(expected, stdout):
    """The output must be exactly the expected lines, then the runtime error's text if one is
    expected."""
    actual = output_lines(stdout)
    wanted = list(expected.output)
    if expected.runtime_error:
        # The error's text is the last line; what the script printed comes before it.
        wanted.append(expected.runtime_error[1])
    if actual == wanted:
        return []
    return ["output differs:\n" + diff(wanted, actual)]


def run(kv2, script):
    expected = Expectations(script)
    name = os.path.relpath(script)
    if expected.nontest:
        print(f"{name}: not a test (// nontest), nothing to run")
        return 0
    if expected.problems:
        for problem in expected.problems:
            print(f"{name}: {problem}")
        return 1
    if "low-heap" in expected.needs and os.environ.get("KIVO_TEST_LOW_HEAP", "1") == "0":
        print(f"{name}: skipped, this build has no low heap")
        return SKIP_EXIT_STATUS

    with tempfile.TemporaryDirectory(prefix="kvoscript") as config:
        environment = dict(os.environ)
        environment["XDG_CONFIG_HOME"] = config
        environment.pop("KIVO_MSGBOX_ANSWER", None)
        environment.pop("KIVO_FILEDIALOG_ANSWER", None)
        environment.update(expected.environment)
        # The script runs in its own directory, so both paths must stand on their own.
        command = [os.path.abspath(kv2), os.path.abspath(script)] + expected.args
        try:
            result = subprocess.run(command, cwd=os.path.dirname(os.path.abspath(script)),
                                    env=environment, stdin=subprocess.DEVNULL,
                                    capture_output=True, timeout=TIMEOUT_SECONDS,
                                    start_new_session=True)
        except subprocess.TimeoutExpired:
            print(f"{name}: FAILED: no exit within {TIMEOUT_SECONDS} s")
            return 1
        except OSError as error:
            print(f"{name}: FAILED: cannot run {command[0]}: {error}")
            return 1

    stdout = result.stdout.decode("utf-8", errors="replace")
    stderr = result.stderr.decode("utf-8", errors="replace")
    status = result.returncode & 0xFF if result.returncode >= 0 else result.returncode

    failures = []
    if expected.compile_errors:
        failures += check_compile_errors(expected.compile_errors, stdout)
    else:
        failures += check_output(expected, stdout)
    if status != expected.exit_status:
        how = f"signal {-status}" if status < 0 else f"status {status}"
        failures.append(f"expected exit status {expected.exit_status}, got {how}")

    if failures:
        print(f"{name}: FAILED")
        print("command: " + " ".join(shlex.quote(word) for word in command))
        for failure in failures:
            print(failure)
        if stderr:
            print("standard error:\n" + stderr.rstrip("\n"))
        return 1
    print(f"{name}: passed, {expected.count()} expectations")
    return 0


def main(argv):
    if len(argv) != 3:
        print("usage: run_script_test.py KV2 SCRIPT.kvo", file=sys.stderr)
        return 2
    return run(argv[1], argv[2])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
