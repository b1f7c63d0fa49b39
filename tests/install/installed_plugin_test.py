#!/usr/bin/env python3
"""Installs the build into a temporary prefix and runs a script that imports the plug-in with the
installed kv2, from outside the build tree.

usage: installed_plugin_test.py BUILD_DIR SCRIPT.kvo

The installed kv2 must find the installed runtime (<prefix>/lib) and the runtime must find the
installed plug-in (<prefix>/lib/kivo); the loader's own report (LD_DEBUG=files) shows the path
of every library it initialised, so a run that silently used the build tree's copies fails.
"""

import os
import re
import subprocess
import sys
import tempfile

EXPECTED_OUTPUT = "installed plug-in: abc 3 1\n"


def main(argv):
    if len(argv) != 3:
        print("usage: installed_plugin_test.py BUILD_DIR SCRIPT.kvo", file=sys.stderr)
        return 2
    build, script = argv[1], os.path.abspath(argv[2])
    with tempfile.TemporaryDirectory(prefix="kvoinstall") as prefix:
        subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        kv2 = os.path.join(prefix, "bin", "kv2")
        environment = {key: value for key, value in os.environ.items()
                       if key not in ("LD_LIBRARY_PATH", "Path", "PATH", "KVOLIB", "KVOINC")}
        environment["PATH"] = "/usr/bin:/bin"
        environment["XDG_CONFIG_HOME"] = prefix
        environment["LD_DEBUG"] = "files"
        result = subprocess.run([kv2, script], cwd=prefix, env=environment, capture_output=True,
                                text=True, timeout=60)
        # "calling init:" names each library by the path it was loaded from.
        loaded = re.findall(r"calling init: (\S+)", result.stderr)
        failures = []
        if result.stdout != EXPECTED_OUTPUT or result.returncode != 0:
            failures.append(f"output {result.stdout!r}, status {result.returncode}")
        # The runtime is loaded by its soname (libkvolib.so.2).
        for name in ("libkvolib.so", "kv2class.so"):
            paths = [path for path in loaded if re.fullmatch(re.escape(name) + r"(\.\d+)*", os.path.basename(path))]
            if not paths:
                failures.append(f"{name} was not loaded")
            elif not all(os.path.realpath(path).startswith(os.path.realpath(prefix) + os.sep)
                         for path in paths):
                failures.append(f"{name} came from outside the prefix: {paths}")
        if failures:
            print("FAILED: " + "; ".join(failures))
            return 1
    print("installed plug-in test passed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
