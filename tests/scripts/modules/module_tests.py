#!/usr/bin/env python3
"""Tests of compiled module files through the driver: kv2 -c / -o / -r and the "#use" directive,
modules whose classes come before the classes they use, and -o through a link or onto a FIFO.

usage: module_tests.py KV2

Each case runs kv2 one or more times in a fresh temporary directory holding copies of the scripts
of this folder (they are marked "// nontest": these cases run them). A step gives the arguments,
the expected exit status and text that the output must contain (or the "// expect:" lines of a
script, in order). Exit status 0 when every case passes; a failure prints what differed.
"""

import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ERROR = 255
EXPECT_PATTERN = re.compile(r"// expect: ?(.*)")


def expected_lines(script):
    """The "// expect:" texts of a script, in order."""
    with open(os.path.join(HERE, script), encoding="utf-8") as source:
        return [m.group(1).rstrip() for m in map(EXPECT_PATTERN.search, source) if m]


class Case:
    def __init__(self, kv2, name):
        self.kv2 = kv2
        self.name = name
        self.directory = tempfile.mkdtemp(prefix="kvomod")
        for entry in os.listdir(HERE):
            if entry.endswith(".kvo"):
                shutil.copy(os.path.join(HERE, entry), self.directory)
        self.failures = []

    def run(self, args, status=0, contains=(), lines=None, env=None):
        environment = dict(os.environ)
        environment["XDG_CONFIG_HOME"] = self.directory
        environment.pop("KVOLIB", None)
        environment.update(env or {})
        result = subprocess.run([self.kv2] + args, cwd=self.directory, env=environment, capture_output=True,
                                timeout=60, start_new_session=True)
        output = result.stdout.decode("utf-8", "replace") + result.stderr.decode("utf-8", "replace")
        where = "%s: kv2 %s" % (self.name, " ".join(args))
        if result.returncode != status:
            self.failures.append("%s: exit status %d, expected %d\n%s" % (where, result.returncode, status, output))
        for text in contains:
            if text not in output:
                self.failures.append("%s: output lacks %r\n%s" % (where, text, output))
        if lines is not None and output.splitlines() != lines:
            self.failures.append("%s: output %r, expected %r" % (where, output.splitlines(), lines))
        return output

    def exists(self, name, expected=True):
        if os.path.exists(os.path.join(self.directory, name)) != expected:
            self.failures.append("%s: %s %s" % (self.name, name, "missing" if expected else "should not exist"))

    def read(self, name):
        with open(os.path.join(self.directory, name), "rb") as f:
            return f.read()

    def write(self, name, data):
        with open(os.path.join(self.directory, name), "wb") as f:
            f.write(data)

    def finish(self):
        shutil.rmtree(self.directory, ignore_errors=True)
        return self.failures


def compile_options(c):
    # -c without -o writes out.kvm; -o names the output, and a name without "." gets ".kvm".
    c.run(["-c", "helper_lib"], lines=[])
    c.exists("out.kvm")
    c.run(["-c", "helper_lib", "locals_trace", "-o", "both"], lines=[])
    c.exists("both.kvm")
    # A module and a source: modules are loaded first, whatever the order on the command line.
    c.run(["-c", "app_main", "-r", "out", "-o", "app"], lines=[])
    c.exists("app.kvm")
    # "-r base app": every plain argument after -r is a module; main runs from them.
    c.run(["-r", "out", "app"], status=20, lines=expected_lines("app_main.kvo"))
    c.run(["-r", "app"], status=20, lines=expected_lines("app_main.kvo"))


def use_directive(c):
    c.run(["-c", "helper_lib", "-o", "lib/helper_lib"], status=ERROR, contains=["for write failed"])
    os.mkdir(os.path.join(c.directory, "lib"))
    c.run(["-c", "helper_lib", "-o", "lib/helper_lib"], lines=[])
    # Found along KVOLIB ...
    c.run(["use_library"], status=42, lines=expected_lines("use_library.kvo"),
          env={"KVOLIB": "/nonexistent:" + os.path.join(c.directory, "lib")})
    # ... else read under the name as written (here: not found).
    c.run(["use_library"], status=ERROR, contains=["opening helper_lib.kvm for read failed", "library import failed"])
    c.run(["use_missing"], status=ERROR, contains=["library import failed"])


def failures(c):
    c.run(["-r", "missing"], status=ERROR, lines=["opening missing.kvm for read failed"])
    c.run(["-c", "helper_lib", "-o", "good"], lines=[])
    good = c.read("good.kvm")
    # A damaged module is reported and ends the run before anything is compiled or run.
    c.write("cut.kvm", good[: len(good) // 2])
    c.run(["-r", "cut", "app_main"], status=ERROR, lines=["error reading module: damaged or truncated data"])
    c.write("bad.kvm", b"\x07")
    c.run(["-r", "bad"], status=ERROR, contains=["damaged or truncated"])
    # A compile error writes nothing: the old module stays as it was, and no temporary is left.
    c.write("broken.kvo", b"main( {\n")
    c.run(["-c", "broken", "-o", "good"], status=ERROR, contains=["-->"])
    if c.read("good.kvm") != good:
        c.failures.append("failures: good.kvm changed by a failed compile")
    leftovers = [f for f in os.listdir(c.directory) if ".tmp" in f]
    if leftovers:
        c.failures.append("failures: temporary files left: %r" % leftovers)


def trace_after_loading(c):
    # Local-variable information survives the module: the trace names the locals.
    c.run(["-c", "-v", "locals_trace", "-o", "traced"], lines=[])
    output = c.run(["-t", "-r", "traced"], status=6)
    for name in ("'count'", "'total'"):
        if name not in output:
            c.failures.append("trace: %s not named in the trace\n%s" % (name, output))
    # Without -v the names are not there.
    c.run(["-c", "locals_trace", "-o", "plain"], lines=[])
    output = c.run(["-t", "-r", "plain"], status=6)
    if "'count'" in output:
        c.failures.append("trace: names shown without local-variable information")


def load_at_run_time(c):
    # loadmodule defines names that the running script referred to before they existed.
    c.run(["-c", "helper_lib", "-o", "lib"], lines=[])
    c.run(["load_at_run_time"], lines=expected_lines("load_at_run_time.kvo"))


def classes_out_of_order(c):
    # A valid program's module loads again whatever the order of its class dictionary: a method
    # creates an object of a class declared later, classes come before their bases.
    expected = expected_lines("classes_out_of_order.kvo")
    c.run(["classes_out_of_order"], status=7, lines=expected)
    c.run(["-c", "classes_out_of_order", "-o", "shapes"], lines=[])
    c.run(["-r", "shapes"], status=7, lines=expected)


def safe_replacement(c):
    # -o through a symbolic link writes the file the link names: the link stays, the file keeps
    # its permissions, and no temporary file is left anywhere.
    os.mkdir(os.path.join(c.directory, "real"))
    target = os.path.join(c.directory, "real", "lib.kvm")
    link = os.path.join(c.directory, "lib.kvm")
    c.write("real/lib.kvm", b"old")
    os.chmod(target, 0o640)
    os.symlink(os.path.join("real", "lib.kvm"), link)
    c.run(["-c", "helper_lib", "-o", "lib"], lines=[])
    if not os.path.islink(link):
        c.failures.append("safe_replacement: the link lib.kvm was replaced by a file")
    if stat.S_IMODE(os.stat(target).st_mode) != 0o640:
        c.failures.append("safe_replacement: real/lib.kvm lost its permissions: %o" % os.stat(target).st_mode)
    c.run(["app_main", "-r", "lib"], status=20, lines=expected_lines("app_main.kvo"))
    # A FIFO that nobody reads is refused at once (not replaced, and nothing waits for a reader).
    fifo = os.path.join(c.directory, "pipe.kvm")
    os.mkfifo(fifo)
    c.run(["-c", "helper_lib", "-o", "pipe"], status=ERROR, lines=["opening pipe.kvm for write failed"])
    if not stat.S_ISFIFO(os.lstat(fifo).st_mode):
        c.failures.append("safe_replacement: the FIFO pipe.kvm was replaced")
    for folder in (c.directory, os.path.dirname(target)):
        leftovers = [f for f in os.listdir(folder) if ".tmp" in f]
        if leftovers:
            c.failures.append("safe_replacement: temporary files left: %r" % leftovers)


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    kv2 = os.path.abspath(sys.argv[1])
    problems = []
    for case in (compile_options, use_directive, failures, trace_after_loading, load_at_run_time,
                 classes_out_of_order, safe_replacement):
        c = Case(kv2, case.__name__)
        case(c)
        problems += c.finish()
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
