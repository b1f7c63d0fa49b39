#!/usr/bin/env python3
"""Checks every fenced code block of one Markdown file by the kind its fence names.

usage: run_doc_blocks.py --kv2 KV2 --cc CC --cxx CXX --lib LIBKVOLIB --src SOURCE_DIR
                         [--flags "FLAGS"] [--no-low-heap] [--expect-failure] FILE.md

Kinds of block:
  kivo        a complete program, run with kv2 in a temporary directory; its output must be
              exactly the lines of its "// expect: TEXT" comments, in order, or the lines of an
              immediately following output block. "// expect runtime error: TEXT" gives the
              uncaught error's text, which ends the output (exit status 255); "// exit: N" gives
              another exit status (default 0); "// needs: low-heap" skips the block in a build
              without the low heap (native calls with heap addresses).
  c, cpp      a complete host program, compiled against libkvolib and run: exit status 0 passes.
  output      the expected output of the kivo block just before it.
  kivo-fragment, c-fragment, cpp-fragment, sh, bash, console, text, json, cmake, vim
              shown only.
A fence without a kind, or with a kind not listed here, fails. A block right after the comment
"<!-- doc-test: skip REASON -->" is not checked (the reason is required).

Every failure names the block by file:line and shows what was expected and what happened.
Exit status 0 when every block passes. With --expect-failure (for the runner's own fixtures)
the status is inverted: 0 when at least one block failed, 1 when all passed.
"""

import argparse
import os
import re
import shlex
import subprocess
import sys
import tempfile

SHOWN_KINDS = {"kivo-fragment", "c-fragment", "cpp-fragment", "sh", "bash", "console", "text",
               "json", "cmake", "vim"}
CHECKED_KINDS = {"kivo", "c", "cpp"}
OUTPUT_KIND = "output"

FENCE_PATTERN = re.compile(r"^(\s*)(`{3,}|~{3,})\s*([^`\s]*)[^`]*$")
SKIP_PATTERN = re.compile(r"^\s*<!--\s*doc-test:\s*skip\b\s*(.*?)\s*-->\s*$")

EXPECT_PATTERN = re.compile(r"// expect: ?(.*)")
RUNTIME_ERROR_PATTERN = re.compile(r"// expect runtime error: ?(.*)")
EXIT_PATTERN = re.compile(r"// exit: ?(-?\d+)")
NEEDS_PATTERN = re.compile(r"// needs: ?([a-z-]+)")

ERROR_EXIT_STATUS = 255
# What run_kivo answers for a block this build cannot run.
SKIPPED = object()
TIMEOUT_SECONDS = 60


class Block:
    """One fenced block: its kind, the line of its opening fence, its text, and whether the
    document asks for it to be skipped."""

    def __init__(self, kind, line, text, skip_reason):
        self.kind = kind
        self.line = line
        self.text = text
        self.skip_reason = skip_reason
        self.output = None  # the block of kind "output" that follows a kivo block


def read_blocks(path):
    """The fenced blocks of a Markdown file and the problems of its fences."""
    with open(path, encoding="utf-8") as document:
        lines = document.read().split("\n")
    blocks = []
    problems = []
    index = 0
    previous = ""  # the last non-blank line before the current one
    while index < len(lines):
        match = FENCE_PATTERN.match(lines[index])
        if not match:
            if lines[index].strip():
                previous = lines[index]
            index += 1
            continue
        indent, fence, kind = len(match.group(1)), match.group(2), match.group(3)
        start = index + 1
        body = []
        index += 1
        closed = False
        while index < len(lines):
            line = lines[index]
            stripped = line.strip()
            if stripped.startswith(fence[0] * len(fence)) and stripped.strip(fence[0]) == "":
                closed = True
                index += 1
                break
            # Blocks inside list items are indented: the fence's indentation is not content.
            body.append(line[indent:] if line[:indent].strip() == "" else line.lstrip())
            index += 1
        if not closed:
            problems.append(f"{path}:{start}: the fence opened here is never closed")
        skip = SKIP_PATTERN.match(previous)
        skip_reason = None
        if skip:
            skip_reason = skip.group(1) or ""
            if not skip_reason:
                problems.append(f"{path}:{start}: a skipped block must say why (doc-test: skip REASON)")
        blocks.append(Block(kind, start, "\n".join(body) + "\n", skip_reason))
        previous = ""
    return blocks, problems


def output_lines(text):
    """Text split into lines; a final line without a line end counts as a line."""
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return lines


def show_difference(expected, actual):
    """Expected and actual text, each in full, lines marked where they differ."""
    report = ["  expected:"]
    report += [f"    | {line}" for line in expected] or ["    (no output)"]
    report.append("  actual:")
    report += [f"    | {line}" for line in actual] or ["    (no output)"]
    for number, (want, got) in enumerate(zip(expected, actual), start=1):
        if want != got:
            report.append(f"  first difference in line {number}")
            break
    else:
        if len(expected) != len(actual):
            report.append(f"  expected {len(expected)} lines, got {len(actual)}")
    return "\n".join(report)


class Runner:
    def __init__(self, options):
        self.options = options
        self.flags = shlex.split(options.flags or "")
        self.lib_dir = os.path.dirname(os.path.abspath(options.lib))

    def run_kivo(self, block, where, work):
        expected = []
        runtime_error = None
        exit_status = None
        for number, line in enumerate(block.text.split("\n"), start=block.line + 1):
            match = RUNTIME_ERROR_PATTERN.search(line)
            if match:
                runtime_error = match.group(1)
                continue
            match = EXPECT_PATTERN.search(line)
            if match:
                if runtime_error is not None:
                    return f"{where}: line {number}: output expected after the uncaught error"
                expected.append(match.group(1))
                continue
            match = EXIT_PATTERN.search(line)
            if match:
                exit_status = int(match.group(1)) & 0xFF
                continue
            match = NEEDS_PATTERN.search(line)
            if match:
                if match.group(1) != "low-heap":
                    return f"{where}: line {number}: unknown need '{match.group(1)}'"
                if self.options.no_low_heap:
                    return SKIPPED
        if block.output is not None:
            if expected or runtime_error is not None:
                return f"{where}: give the output either by '// expect:' comments or by an output block, not both"
            expected = output_lines(block.output.text)
        if runtime_error is not None:
            expected.append(runtime_error)
        if exit_status is None:
            exit_status = ERROR_EXIT_STATUS if runtime_error is not None else 0

        script = os.path.join(work, "block.kvo")
        with open(script, "w", encoding="utf-8") as source:
            source.write(block.text)
        environment = dict(os.environ)
        environment["XDG_CONFIG_HOME"] = work
        try:
            result = subprocess.run([os.path.abspath(self.options.kv2), script], cwd=work,
                                    env=environment, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    timeout=TIMEOUT_SECONDS, start_new_session=True)
        except subprocess.TimeoutExpired:
            return f"{where}: no exit within {TIMEOUT_SECONDS} s"
        actual = output_lines(result.stdout.decode("utf-8", errors="replace"))
        failures = []
        if actual != expected:
            failures.append(f"{where}: the output differs\n" + show_difference(expected, actual))
        status = result.returncode & 0xFF if result.returncode >= 0 else result.returncode
        if status != exit_status:
            failures.append(f"{where}: exit status {status}, expected {exit_status}")
        return "\nFAILED ".join(failures) or None

    def run_host(self, block, where, work):
        c = block.kind == "c"
        source = os.path.join(work, "block.c" if c else "block.cpp")
        with open(source, "w", encoding="utf-8") as text:
            text.write(block.text)
        program = os.path.join(work, "block")
        src = os.path.abspath(self.options.src)
        if c:
            compile_step = [self.options.cc, "-std=c99", "-Wall", "-Wextra", "-Werror",
                            "-I", os.path.join(src, "core", "host")]
        else:
            compile_step = [self.options.cxx, "-std=c++20", "-Wall", "-Wextra", "-Werror",
                            "-I", os.path.join(src, "core"), "-I", src]
        compile_step += self.flags + ["-c", source, "-o", program + ".o"]
        # Linked by the C++ driver in either case: a sanitizer build's runtime for the library's
        # C++ checks comes with it.
        link_step = [self.options.cxx] + self.flags + [
            program + ".o", "-o", program, "-L", self.lib_dir, "-lkvolib",
            "-Wl,-rpath," + self.lib_dir]
        for step, name in ((compile_step, "compiling"), (link_step, "linking")):
            result = subprocess.run(step, cwd=work, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, timeout=300)
            if result.returncode != 0:
                return (f"{where}: {name} failed:\n  " + " ".join(step) + "\n"
                        + result.stdout.decode("utf-8", errors="replace"))
        environment = dict(os.environ)
        environment["XDG_CONFIG_HOME"] = work
        try:
            result = subprocess.run([program], cwd=work, env=environment,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, timeout=TIMEOUT_SECONDS,
                                    start_new_session=True)
        except subprocess.TimeoutExpired:
            return f"{where}: no exit within {TIMEOUT_SECONDS} s"
        if result.returncode != 0:
            return (f"{where}: the program exited with status {result.returncode}; its output:\n"
                    + result.stdout.decode("utf-8", errors="replace"))
        return None

    def check(self, path):
        blocks, failures = read_blocks(path)
        # Named from the top of the source tree, as a reader finds the file.
        name = os.path.relpath(os.path.abspath(path), os.path.abspath(self.options.src))
        # An output block belongs to the kivo block right before it.
        kept = []
        for block in blocks:
            if block.kind == OUTPUT_KIND:
                if kept and kept[-1].kind == "kivo" and kept[-1].output is None:
                    kept[-1].output = block
                    continue
                failures.append(f"{name}:{block.line}: an output block must follow a kivo block")
                continue
            kept.append(block)
        counts = {"checked": 0, "shown": 0, "skipped": 0}
        for block in kept:
            where = f"{name}:{block.line}"
            if not block.kind:
                failures.append(f"{where}: the fence names no kind (kivo, kivo-fragment, c, cpp, sh, text ...)")
                continue
            if block.kind not in CHECKED_KINDS and block.kind not in SHOWN_KINDS:
                failures.append(f"{where}: unknown kind of block '{block.kind}'")
                continue
            if block.skip_reason is not None:
                counts["skipped"] += 1
                continue
            if block.kind in SHOWN_KINDS:
                counts["shown"] += 1
                continue
            with tempfile.TemporaryDirectory(prefix="kvodoc") as work:
                if block.kind == "kivo":
                    failure = self.run_kivo(block, where, work)
                else:
                    failure = self.run_host(block, where, work)
            if failure is SKIPPED:
                counts["skipped"] += 1
                continue
            counts["checked"] += 1
            if failure:
                failures.append(failure)
        print(f"{name}: {counts['checked']} blocks checked, {counts['shown']} shown only, "
              f"{counts['skipped']} skipped, {len(failures)} failures")
        for failure in failures:
            print("FAILED " + failure)
        return not failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--kv2", required=True)
    parser.add_argument("--cc", required=True)
    parser.add_argument("--cxx", required=True)
    parser.add_argument("--lib", required=True, help="path of libkvolib.so")
    parser.add_argument("--src", required=True, help="the source tree")
    parser.add_argument("--flags", default="", help="compiler flags of the build for host blocks")
    parser.add_argument("--no-low-heap", action="store_true",
                        help="the build has no low heap: skip blocks marked '// needs: low-heap'")
    parser.add_argument("--expect-failure", action="store_true",
                        help="pass when some block fails (for the runner's own fixtures)")
    parser.add_argument("files", nargs="+")
    options = parser.parse_args()
    runner = Runner(options)
    passed = all([runner.check(path) for path in options.files])
    if options.expect_failure:
        if passed:
            print("FAILED: every block passed, but this document was expected to be refused")
            return 1
        print("refused as expected")
        return 0
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
