#!/usr/bin/env python3
"""Tests of the kivo command: usage: test_kivo.py KIVO KV2 GROUP.

Each group is one CTest test; it runs its cases in a temporary directory and exits 0 when all
pass, else 1 after printing what differed.
"""

import os
import pty
import select
import subprocess
import sys
import tempfile
import time

KIVO, KV2, GROUP = sys.argv[1], sys.argv[2], sys.argv[3]
failures = []


def check(name, condition, detail=""):
    if not condition:
        failures.append(f"{name}: {detail}")


def run(args, stdin=None, cwd=None, env=None):
    return subprocess.run(args, input=stdin, capture_output=True, text=True, cwd=cwd, env=env, timeout=60)


def write(directory, name, text, executable=False):
    path = os.path.join(directory, name)
    with open(path, "w") as f:
        f.write(text)
    if executable:
        os.chmod(path, 0o755)
    return path


ARGV_SCRIPT = """main(; a, i) {
    a = getargs();
    for (i = 1; i < vecsize(a); i++)
        print(i, "=", a[i], "\\n");
    return vecsize(a);
}
"""


def test_arguments(tmp):
    write(tmp, "args.kvo", ARGV_SCRIPT)
    r = run([KIVO, "args.kvo", "a b", "-e", "#x"], cwd=tmp)
    # The words follow the script's path as they are: options after the script belong to it.
    check("script arguments", r.stdout == "1=args.kvo\n2=a b\n3=-e\n4=#x\n" and r.returncode == 5, repr(r))
    r = run([KIVO, "-e", ARGV_SCRIPT, "w"], cwd=tmp)
    check("-e arguments", r.stdout == "1=-e\n2=w\n" and r.returncode == 3, repr(r))
    r = run([KIVO, "-", "p", "q"], stdin=ARGV_SCRIPT, cwd=tmp)
    check("- reads standard input", r.stdout == "1=-\n2=p\n3=q\n" and r.returncode == 4, repr(r))
    r = run([KIVO], stdin='main() { print("piped\\n"); }', cwd=tmp)
    check("a pipe is the program", r.stdout == "piped\n" and r.returncode == 0, repr(r))
    # A snippet without main runs as main's body; its globals and calls work as usual.
    r = run([KIVO, "-e", 'n = 6; print(n * 7, "\\n");'], cwd=tmp)
    check("-e statements", r.stdout == "42\n" and r.returncode == 0, repr(r))
    r = run([KIVO, "-e", "twice(x) { return 2 * x; }"], cwd=tmp)
    check("-e declarations only", r.stdout == "" and r.returncode == 0, repr(r))
    # A #! first line, any file name (no .kvo is added), run through env as an executable.
    write(tmp, "tool", '#!/usr/bin/env kivo\nmain() { print("tool ", arg(2), "\\n"); return 0; }\n', True)
    env = dict(os.environ, PATH=os.path.dirname(KIVO) + os.pathsep + os.environ.get("PATH", ""))
    r = run(["./tool", "x"], cwd=tmp, env=env)
    check("shebang script", r.stdout == "tool x\n" and r.returncode == 0, repr(r))
    # "--" lets a script's name start with a dash.
    write(tmp, "-dash.kvo", 'main() { print("dash\\n"); }\n')
    r = run([KIVO, "--", "-dash.kvo"], cwd=tmp)
    check("-- before a script", r.stdout == "dash\n", repr(r))


def test_status(tmp):
    cases = [
        ("main's integer", "main() { return 7; }", 7),
        ("main returns nothing", "main() { }", 0),
        ("main returns a string", 'main() { return "x"; }', 0),
        ("exit(n)", "main() { exit(12); return 1; }", 12),
        ("exit() is 0", "main() { exit(); return 1; }", 0),
        ("exit is not catchable", "f() { exit(4); } main() { try { f(); } catch (e) { return 9; } return 8; }", 4),
        ("uncaught error", "main() { return 1 / 0; }", 1),
        ("thrown value", 'main() { throw "out"; }', 1),
        ("compile error", "main() { return 1 +; }", 1),
    ]
    for name, program, status in cases:
        r = run([KIVO, "-e", program], cwd=tmp)
        check(name, r.returncode == status, f"status {r.returncode}, expected {status}; {r.stderr!r}")
        # Nothing of the report reaches standard output.
        check(name + " (stdout clean)", r.stdout == "", repr(r.stdout))
    r = run([KIVO, "missing.kvo"], cwd=tmp)
    check("missing script", r.returncode == 1 and "missing.kvo" in r.stderr and r.stdout == "", repr(r))
    os.mkdir(os.path.join(tmp, "adir"))
    r = run([KIVO, "adir"], cwd=tmp)
    check("directory as script", r.returncode == 1 and "directory" in r.stderr, repr(r))
    write(tmp, "nomain.kvo", "helper() { }\n")
    r = run([KIVO, "nomain.kvo"], cwd=tmp)
    check("script without main", r.returncode == 1 and "no main function" in r.stderr, repr(r))
    for args in (["-x"], ["-e"], ["--"]):
        r = run([KIVO] + args, cwd=tmp, stdin="")
        check("usage error " + " ".join(args), r.returncode == 2 and "kivo --help" in r.stderr, repr(r))
    # kv2 exits with exit()'s status too.
    write(tmp, "ex.kvo", "main() { exit(6); return 1; }\n")
    r = run([KV2, "ex.kvo"], cwd=tmp)
    check("kv2 exit(n)", r.returncode == 6, repr(r))


TRACE_SCRIPT = """class Shape {
    size;
    Shape(s);
    grow(by);
};
Shape::Shape(s) { size = s; }
Shape::grow(by) {
    return size->scale(by);
}
resize(shape) {
    return shape->grow(2);
}
careful(; x) {
    try { x = null; x->nothing(); } catch (e) { print("caught\\n"); }
}
main() {
    careful();
    print("out\\n");
    resize(new Shape(3));
    return 0;
}
"""


def test_traceback(tmp):
    write(tmp, "trace.kvo", TRACE_SCRIPT)
    r = run([KIVO, "trace.kvo"], cwd=tmp)
    expected = ("trace.kvo:8: invalid value type KVT_INTEGER, KVT_OBJECT expected\n"
                "call chain (innermost first):\n"
                "  at Shape::grow (trace.kvo:8)\n"
                "  at resize (trace.kvo:11)\n"
                "  at main (trace.kvo:19)\n")
    # The error caught in careful() (once reported as the chain of the later error) is gone.
    check("traceback text", r.stderr == expected, f"\n{r.stderr}\nexpected\n{expected}")
    check("traceback stdout", r.stdout == "caught\nout\n", repr(r.stdout))
    check("traceback status", r.returncode == 1, str(r.returncode))
    # A thrown value that is caught and thrown again is reported from where it was thrown last.
    program = "f() { throw \"deep\"; }\ng() {\n  try { f(); } catch (e) { throw e; }\n}\nmain() { g(); }\n"
    r = run([KIVO, "-"], stdin=program, cwd=tmp)
    check("rethrow position", r.stderr.startswith("<stdin>:3: deep\n") and "  at g (<stdin>:3)\n  at main (<stdin>:5)\n"
          in r.stderr, repr(r.stderr))
    # Deep recursion: the chain is bounded and says how many calls it left out.
    r = run([KIVO, "-e", "down(n) { if (n == 0) return 1 / 0; return down(n - 1); }\nmain() { down(200); }"], cwd=tmp)
    lines = r.stderr.splitlines()
    check("long chain bounded", len(lines) < 80 and any("more calls" in line for line in lines)
          and lines[-1] == "  at main (-e:2)", repr(lines[-3:]))


def test_kv2_chain(tmp):
    write(tmp, "trace.kvo", TRACE_SCRIPT)
    plain = run([KV2, "trace.kvo"], cwd=tmp)
    lined = run([KV2, "-l", "trace.kvo"], cwd=tmp)
    # kv2's own output and status stay as designed; -l adds the chain on standard error only.
    check("kv2 -l stdout unchanged", plain.stdout == lined.stdout and plain.returncode == lined.returncode == 255,
          f"{plain!r} {lined!r}")
    check("kv2 prints the error", plain.stdout.endswith("invalid value type KVT_INTEGER, KVT_OBJECT expected\n"),
          repr(plain.stdout))
    check("kv2 without -l: no chain", plain.stderr == "", repr(plain.stderr))
    expected = ("call chain (innermost first):\n  at Shape::grow (trace.kvo:8)\n  at resize (trace.kvo:11)\n"
                "  at main (trace.kvo:19)\n")
    check("kv2 -l chain", lined.stderr == expected, repr(lined.stderr))
    ok = run([KV2, "-l", "-e"], cwd=tmp)  # an unknown option: usage as designed, no chain
    check("kv2 usage unchanged", ok.returncode == 255 and ok.stderr == "", repr(ok))


def test_help(tmp):
    r = run([KIVO, "--help"])
    for option in ("-e TEXT", "-u", "--version", "-h, --help", " - ", ".load", "exit status", "KVOLIB"):
        check("help names " + option, option in r.stdout, r.stdout)
    check("help status", r.returncode == 0 and r.stderr == "", repr(r))
    r = run([KIVO, "--version"])
    check("version", r.stdout.startswith("kivo ") and r.stdout.strip().split(" ")[1][0].isdigit(), repr(r))


class Terminal:
    """kivo on a pseudo-terminal with a fixed TERM and its own HOME (for the history file)."""

    def __init__(self, home):
        env = dict(os.environ, HOME=home, TERM="xterm")
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execve(KIVO, [KIVO], env)
        self.output = b""

    def read_until(self, text, timeout=10):
        end = time.time() + timeout
        while text.encode() not in self.output and time.time() < end:
            ready, _, _ = select.select([self.fd], [], [], 0.1)
            if ready:
                try:
                    data = os.read(self.fd, 4096)
                except OSError:
                    return False
                if not data:
                    return False
                self.output += data
        return text.encode() in self.output

    def send(self, keys, then="kivo> ", timeout=10):
        """Types keys and waits for the next prompt (or then) after them."""
        start = len(self.output)
        os.write(self.fd, keys.encode())
        end = time.time() + timeout
        while time.time() < end:
            if then.encode() in self.output[start:]:
                break
            self.read_until("\0", 0.1)
        return self.output[start:].decode(errors="replace").replace("\r\n", "\n")

    def finish(self):
        self.read_until("\0", 0.5)
        _, status = os.waitpid(self.pid, 0)
        return os.waitstatus_to_exitcode(status)


def test_prompt(tmp):
    home = os.path.join(tmp, "home")
    os.mkdir(home)
    term = Terminal(home)
    check("banner", term.read_until("kivo> "), term.output)
    out = term.send("1 + 2\r")
    check("expression value", "\n3\n" in out, out)
    out = term.send("scale(x) {\r", then="....> ")
    check("continuation prompt", "....> " in out, out)
    out = term.send("  return x * 10;\r}\r")
    out = term.send("scale(4)\r")
    check("definition kept", "\n40\n" in out, out)
    out = term.send('T("a\\tb", [1.5, null], {"k": 3})\r')
    check("value printing", '["a\\tb", [1.5, null], {"k": 3}]' in out, out)
    out = term.send("class Box { v; Box(x); toString(); }; Box::Box(x) { v = x; } Box::toString() { return \"Box\" + string(v); }\r")
    out = term.send("new Box(5)\r")
    check("object toString", "\nBox5\n" in out, out)
    out = term.send("class Bare { Bare(); }; Bare::Bare() { }\r")
    out = term.send("new Bare()\r")
    check("object without toString", "<Bare object>" in out, out)
    out = term.send("total = 5;\r")
    check("statement shows nothing", out.strip() == "total = 5;\nkivo>", repr(out))
    out = term.send("missing->call()\r")
    check("error reported", "<input>:1: invalid value type KVT_NULL, KVT_OBJECT expected" in out, out)
    out = term.send("total + 1\r")
    check("prompt survives an error; globals kept", "\n6\n" in out, out)
    out = term.send("print(1 +);\r")
    check("compile error placed", "<input>:1:10: " in out and "^" in out, out)
    out = term.send("\x1b[A\x1b[A\r")  # up-arrow twice recalls "total + 1"
    check("history recall", "\n6\n" in out, out)
    term.send("while (true) { }\r", then="\0", timeout=1)
    # Under load the loop may not have started when the first Ctrl-C comes; more follow then
    # (one that reaches the prompt only gives an empty line).
    out = ""
    for _ in range(10):
        out += term.send("\x03", then="interrupted", timeout=2)
        if "interrupted" in out:
            break
    term.send("\r")
    check("Ctrl-C stops a running input", "interrupted" in out, out)
    out = term.send("total\r")
    check("prompt after Ctrl-C", "\n5\n" in out, out)
    term.send("unfinished(\r", then="....> ")
    out = term.send("\x03")
    out = term.send("total\r")
    check("Ctrl-C drops an unfinished input", "\n5\n" in out and "<input>" not in out, out)
    term.send("exit(3)\r", then="\0", timeout=1)
    status = term.finish()
    check("exit() ends the prompt", status == 3, str(status))
    with open(os.path.join(home, ".kivo_history"), encoding="utf-8", errors="replace") as f:
        history = f.read()
    check("history saved", "scale(4)" in history, history)
    # A second session: .load, .quit and Ctrl-D; the history of the first is there to recall.
    write(tmp, "lib.kvo", "triple(x) { return 3 * x; }\n")
    term = Terminal(home)
    term.read_until("kivo> ")
    out = term.send("\x1b[A\r", then="\0", timeout=1)
    check("history across sessions", "exit(3)" in out, out)
    status = term.finish()
    check("recalled exit(3) ran", status == 3, str(status))
    term = Terminal(home)
    term.read_until("kivo> ")
    out = term.send(f".load {os.path.join(tmp, 'lib.kvo')}\rtriple(5)\r")
    check(".load", "\n15\n" in out, out)
    term.send("\x04", then="\0", timeout=1)
    check("Ctrl-D ends with 0", term.finish() == 0)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        globals()["test_" + GROUP](tmp)
    for failure in failures:
        print("FAIL", failure)
    print(f"{GROUP}: {'failed' if failures else 'passed'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
