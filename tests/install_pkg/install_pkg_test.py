#!/usr/bin/env python3
"""Tests of what an installation and the Debian package give their users.

usage: install_pkg_test.py CASE --build DIR --source DIR --cc CC --cxx CXX [options]

Cases (each its own CTest):
  hosts       cmake --install into a temporary prefix, then a C host built with
              `pkg-config --cflags --libs kivo` and a C++ host built with find_package(Kivo)
              against that prefix; both run a script and their output is checked.
  hygiene     every installed header, included by hosts that define TRUE, FALSE, HWND, UINT,
              DWORD and functions named like instructions themselves, compiles; installed
              headers define only KIVO_/KVO_ macros.
  deb         cpack -G DEB builds the package; its control fields and file list are checked,
              and kv2 extracted from it runs a script that imports the plug-in.
  man         the manual pages render with man and groff without a warning.
  subproject  a parent project that add_subdirectory()s the tree builds and runs a C++ host.
"""

import argparse
import glob
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
C_HOST_OUTPUT = "c host {version}: 1 2 3 4 | result 30\n"
CXX_HOST_OUTPUT = "c++ host {version}: hello host, 2 items| result 12\n"
PLUGIN_SCRIPT = os.path.join(HERE, "..", "install", "imports_plugin.kvo")
PLUGIN_OUTPUT = "installed plug-in: abc 3 1\n"
# Names a host may well define itself, and the instruction mnemonics.
HOST_MACROS = ["TRUE", "FALSE"]
HOST_TYPES = ["HWND", "UINT", "DWORD", "BOOL", "WPARAM", "LPARAM", "BYTE", "WORD", "LONG"]
HOST_FUNCTIONS = ["PUSH", "CALL", "SEND", "RET", "POP", "NOP", "BR", "ADD"]


class Failure(Exception):
    pass


def run(command, **options):
    """Runs command; a non-zero status is a failure that shows the command's output."""
    options.setdefault("capture_output", True)
    options.setdefault("text", True)
    result = subprocess.run(command, **options)
    if result.returncode != 0:
        raise Failure(f"{' '.join(command)} exited with {result.returncode}\n"
                      f"{result.stdout or ''}{result.stderr or ''}")
    return result


def clean_environment():
    """The environment of a user outside the build tree: no library or module paths."""
    environment = {key: value for key, value in os.environ.items()
                   if key not in ("LD_LIBRARY_PATH", "Path", "KVOLIB", "KVOINC", "PKG_CONFIG_PATH",
                                  "CMAKE_PREFIX_PATH")}
    environment["PATH"] = "/usr/bin:/bin"
    return environment


def install(args, prefix):
    run(["cmake", "--install", args.build, "--prefix", prefix])


def libdir(prefix):
    """The installed library directory (lib, or lib/<multiarch> under /usr)."""
    found = glob.glob(os.path.join(prefix, "lib*", "**", "libkvolib.so"), recursive=True)
    if not found:
        raise Failure(f"no libkvolib.so under {prefix}")
    return os.path.dirname(found[0])


def sanitizer_flags(args):
    return ["-fsanitize=address,undefined"] if args.sanitize else []


def check_output(what, result, expected):
    if result.stdout != expected or result.returncode != 0:
        raise Failure(f"{what}: output {result.stdout!r} (status {result.returncode}), "
                      f"expected {expected!r}\n{result.stderr}")


def case_hosts(args):
    with tempfile.TemporaryDirectory(prefix="kvopkg") as work:
        prefix = os.path.join(work, "prefix")
        install(args, prefix)
        lib = libdir(prefix)
        # The versioned library: the soname link, the file and the link for the linker.
        real = os.path.realpath(os.path.join(lib, "libkvolib.so"))
        if os.path.basename(real) != f"libkvolib.so.{args.version}":
            raise Failure(f"libkvolib.so resolves to {real}")
        if os.path.realpath(os.path.join(lib, f"libkvolib.so.{args.version.split('.')[0]}")) != real:
            raise Failure("the soname link libkvolib.so.MAJOR is missing")
        soname = run(["objdump", "-p", real]).stdout
        if not re.search(r"SONAME\s+libkvolib\.so\.2\b", soname):
            raise Failure(f"unexpected soname in {real}")
        environment = clean_environment()
        environment["ASAN_OPTIONS"] = "detect_leaks=0"

        # C host through pkg-config, from a prefix it has never heard of.
        pkg_environment = dict(environment, PKG_CONFIG_PATH=os.path.join(lib, "pkgconfig"))
        version = run(["pkg-config", "--modversion", "kivo"], env=pkg_environment).stdout.strip()
        if version != args.version:
            raise Failure(f"pkg-config reports version {version}")
        flags = run(["pkg-config", "--cflags", "--libs", "kivo"], env=pkg_environment).stdout.split()
        c_host = os.path.join(work, "c_host")
        run([args.cc, "-std=c99", "-Wall", "-Wextra", "-pedantic", "-Werror",
             os.path.join(HERE, "c_host.c"), "-o", c_host, *flags, f"-Wl,-rpath,{lib}",
             *sanitizer_flags(args)], env=pkg_environment)
        check_output("C host", subprocess.run([c_host], capture_output=True, text=True,
                                              env=environment, cwd=work, timeout=60),
                     C_HOST_OUTPUT.format(version=args.version))

        # C++ host through find_package(Kivo).
        build = os.path.join(work, "cxx_build")
        run(["cmake", "-S", os.path.join(HERE, "cxx_host"), "-B", build, "-G", "Ninja",
             f"-DCMAKE_PREFIX_PATH={prefix}", f"-DCMAKE_CXX_COMPILER={args.cxx}",
             f"-DCMAKE_CXX_FLAGS={' '.join(sanitizer_flags(args))}"],
            env=dict(environment, PATH=os.environ["PATH"]))
        run(["cmake", "--build", build], env=dict(environment, PATH=os.environ["PATH"]))
        check_output("C++ host", subprocess.run([os.path.join(build, "cxx_host")], capture_output=True,
                                                text=True, env=environment, cwd=work, timeout=60),
                     CXX_HOST_OUTPUT.format(version=args.version))


def compile_unit(compiler, language_flags, include, text, work, name):
    path = os.path.join(work, name)
    with open(path, "w") as unit:
        unit.write(text)
    run([compiler, *language_flags, "-Wall", "-Wextra", "-pedantic", "-Werror", "-fsyntax-only",
         f"-I{include}", path])


def host_unit(headers, macros, types, functions):
    """A host's translation unit: its own macros, every header, then its own types and functions."""
    lines = [f"#define {name} {value}" for value, name in enumerate(macros)]
    lines += [f'#include "{header}"' for header in headers]
    lines += [f"typedef unsigned long {name};" for name in types]
    lines += [f"int {name}(void);" for name in functions]
    lines += ["int {0}(void) {{ return {1}; }}".format(name, number)
              for number, name in enumerate(functions)]
    return "\n".join(lines) + "\n"


def case_hygiene(args):
    with tempfile.TemporaryDirectory(prefix="kvopkg") as work:
        prefix = os.path.join(work, "prefix")
        install(args, prefix)
        include = os.path.join(prefix, "include", "kivo")
        headers = sorted(os.path.relpath(path, include)
                         for path in glob.glob(os.path.join(include, "**", "*.h"), recursive=True))
        if "kvo.h" not in headers or "host/KvoVirtualMachine.h" not in headers:
            raise Failure(f"installed headers incomplete: {headers}")
        failures = []
        for header in headers:
            with open(os.path.join(include, header), encoding="utf-8") as stream:
                for name in re.findall(r"^\s*#\s*define\s+(\w+)", stream.read(), re.MULTILINE):
                    if not name.startswith(("KIVO_", "KVO_")):
                        failures.append(f"{header} defines the macro {name}")
        # Names that the flat header still declares for its window parameters are left out of
        # what the hosts that include it define themselves.
        pending = set(args.flat_header_names)
        flat_types = [name for name in HOST_TYPES if name not in pending]
        cxx_headers = [header for header in headers if header != "kvo.h"]
        units = [
            (args.cxx, ["-std=c++20", "-x", "c++"], cxx_headers, HOST_TYPES, "cxx_host.cpp"),
            (args.cc, ["-std=c99", "-x", "c"], ["kvo.h", "KvoVersion.h"], flat_types, "c_host.c"),
            (args.cxx, ["-std=c++20", "-x", "c++"], headers, flat_types, "all_host.cpp"),
        ]
        for compiler, flags, unit_headers, types, name in units:
            try:
                compile_unit(compiler, flags, include,
                             host_unit(unit_headers, HOST_MACROS, types, HOST_FUNCTIONS), work, name)
            except Failure as failure:
                failures.append(f"{name}: {failure}")
        # Each header on its own: it includes everything it needs.
        for header in cxx_headers:
            try:
                compile_unit(args.cxx, ["-std=c++20", "-x", "c++"], include,
                             f'#include "{header}"\n', work, "single.cpp")
            except Failure as failure:
                failures.append(f"{header} alone: {failure}")
        if failures:
            raise Failure("\n".join(failures))


def case_deb(args):
    with tempfile.TemporaryDirectory(prefix="kvodeb") as work:
        run(["cpack", "-G", "DEB", "--config", os.path.join(args.build, "CPackConfig.cmake"),
             "-B", work], cwd=work)
        packages = glob.glob(os.path.join(work, "kivo_*.deb"))
        if len(packages) != 1:
            raise Failure(f"expected one kivo_*.deb, found {os.listdir(work)}")
        package = packages[0]
        info = run(["dpkg-deb", "-I", package]).stdout
        fields = dict(re.findall(r"^ (\w[\w-]*): (.*)$", info, re.MULTILINE))
        failures = []
        expected = {"Package": "kivo", "Version": args.version}
        for field, value in expected.items():
            if fields.get(field) != value:
                failures.append(f"{field} is {fields.get(field)!r}, expected {value!r}")
        if "<" not in fields.get("Maintainer", ""):
            failures.append(f"Maintainer is {fields.get('Maintainer')!r}")
        depends = fields.get("Depends", "")
        if "libc6" not in depends or "libstdc++6" not in depends:
            failures.append(f"Depends lacks the C and C++ runtimes: {depends!r}")
        contents = run(["dpkg-deb", "-c", package]).stdout
        files = set(re.findall(r"\./(\S+)", contents))
        for pattern in [r"usr/bin/kv2$", r"usr/lib/(\S+/)?libkvolib\.so\.2$",
                        r"usr/lib/(\S+/)?libkvolib\.so\.\d+\.\d+\.\d+$", r"usr/lib/(\S+/)?libkvolib\.so$",
                        r"usr/lib/(\S+/)?kivo/kv2class\.so$", r"usr/lib/(\S+/)?pkgconfig/kivo\.pc$",
                        r"usr/lib/(\S+/)?cmake/Kivo/KivoConfig\.cmake$", r"usr/include/kivo/kvo\.h$",
                        r"usr/include/kivo/host/KvoVirtualMachine\.h$", r"usr/share/man/man1/kv2\.1(\.gz)?$"]:
            if not any(re.match(pattern, name) for name in files):
                failures.append(f"nothing in the package matches {pattern}")
        for name in files:
            if re.search(r"(KvoWinTypes|KvoOpCode|KvoCompiler)\.h$", name):
                failures.append(f"internal header in the package: {name}")
        # The package's kv2 runs from where it was extracted, with its own runtime and plug-in.
        root = os.path.join(work, "root")
        run(["dpkg-deb", "-x", package, root])
        environment = clean_environment()
        environment["XDG_CONFIG_HOME"] = work
        environment["ASAN_OPTIONS"] = "detect_leaks=0"
        result = subprocess.run([os.path.join(root, "usr", "bin", "kv2"), os.path.abspath(PLUGIN_SCRIPT)],
                                capture_output=True, text=True, env=environment, cwd=work, timeout=60)
        if result.stdout != PLUGIN_OUTPUT or result.returncode != 0:
            failures.append(f"extracted kv2: {result.stdout!r} status {result.returncode} {result.stderr}")
        if failures:
            raise Failure("\n".join(failures))


def case_man(args):
    failures = []
    pages = sorted(glob.glob(os.path.join(args.source, "docs", "man", "*.1")))
    names = [os.path.basename(page) for page in pages]
    for required in ("kv2.1", "kivo.1"):
        if required not in names:
            failures.append(f"docs/man/{required} is missing")
    # Plain text: no overstriking for bold, whatever the caller's settings.
    environment = {key: value for key, value in os.environ.items() if key != "MAN_KEEP_FORMATTING"}
    environment.update(LC_ALL="C.UTF-8", MANWIDTH="80", MANPAGER="cat", PAGER="cat")
    for page in pages:
        # groff's own warnings (-ww), then man's view of the page as a reader gets it.
        groff = subprocess.run(["groff", "-man", "-ww", "-z", "-Tutf8", page], capture_output=True,
                               text=True, env=environment)
        if groff.returncode != 0 or groff.stderr:
            failures.append(f"groff on {page}: {groff.stderr}")
        man = subprocess.run(["man", "--warnings", "-l", page], capture_output=True, text=True,
                             env=environment)
        if man.returncode != 0 or man.stderr:
            failures.append(f"man on {page}: {man.stderr}")
        for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS"):
            if section not in man.stdout:
                failures.append(f"{page} has no {section} section")
        with open(page, encoding="utf-8") as stream:
            text = stream.read()
        if args.version_short not in text.splitlines()[0]:
            failures.append(f"{page}: the title line does not name version {args.version_short}")
    kv2_page = os.path.join(args.source, "docs", "man", "kv2.1")
    if os.path.exists(kv2_page):
        rendered = subprocess.run(["man", "-l", kv2_page], capture_output=True, text=True,
                                  env=environment).stdout
        for option in ("-d", "-l", "-v", "-t", "-i", "-c", "-r", "-o", "-u", "#"):
            if not re.search(r"^\s+" + re.escape(option) + r"\s", rendered, re.MULTILINE):
                failures.append(f"kv2.1 does not describe option {option}")
    if failures:
        raise Failure("\n".join(failures))


def case_subproject(args):
    # A build directory kept between runs, so that only the first run compiles the library; a
    # debug build, the quickest to compile.
    build = os.path.join(args.work, "subproject")
    configure = ["cmake", "-S", os.path.join(HERE, "parent"), "-B", build, "-G", "Ninja",
                 f"-DKIVO_SOURCE_DIR={args.source}", f"-DCMAKE_C_COMPILER={args.cc}",
                 f"-DCMAKE_CXX_COMPILER={args.cxx}", "-DCMAKE_BUILD_TYPE=Debug"]
    if args.launcher:
        configure += [f"-DCMAKE_C_COMPILER_LAUNCHER={args.launcher}",
                      f"-DCMAKE_CXX_COMPILER_LAUNCHER={args.launcher}"]
    run(configure)
    cache = open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8").read()
    # Inside a parent project Kivo leaves the tests and benchmarks out and the parent's build
    # type alone.
    for setting in ("KIVO_BUILD_TESTS:BOOL=OFF", "KIVO_BUILD_BENCH:BOOL=OFF", "CMAKE_BUILD_TYPE:STRING=Debug"):
        if setting not in cache:
            raise Failure(f"{setting} not in the parent's cache")
    # Only what the host needs: the library (with the platform layer), the plug-in and the host.
    run(["cmake", "--build", build, "--target", "cxx_host", "kv2class", "-j", "2"])
    result = subprocess.run([os.path.join(build, "cxx_host")], capture_output=True,
                            text=True, env=clean_environment(), timeout=60)
    check_output("host in a parent project", result, CXX_HOST_OUTPUT.format(version=args.version))


CASES = {"hosts": case_hosts, "hygiene": case_hygiene, "deb": case_deb, "man": case_man,
         "subproject": case_subproject}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--work", help="a directory kept between runs (subproject)")
    parser.add_argument("--cc", default="cc")
    parser.add_argument("--cxx", default="c++")
    parser.add_argument("--launcher", default="")
    parser.add_argument("--version", required=True)
    parser.add_argument("--sanitize", action="store_true")
    parser.add_argument("--flat-header-names", default="",
                        type=lambda text: [name for name in text.split(",") if name])
    args = parser.parse_args()
    args.version_short = ".".join(args.version.split(".")[:2])
    try:
        CASES[args.case](args)
    except Failure as failure:
        print(f"FAILED: {failure}")
        return 1
    print(f"{args.case}: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
