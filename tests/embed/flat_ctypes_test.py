#!/usr/bin/env python3
"""A Python host of libkvolib's flat interface through ctypes. Usage: flat_ctypes_test.py LIBRARY"""
import ctypes as C
import sys
import unittest

LIBRARY = sys.argv.pop(1) if len(sys.argv) > 1 else "libkvolib.so"
PRINT = C.CFUNCTYPE(None, C.c_char_p)
CHAR = C.CFUNCTYPE(C.c_int)
LINE = C.CFUNCTYPE(C.c_void_p)  # returns a borrowed const char*
VP, STRS = C.c_void_p, C.POINTER(C.c_char_p)
lib = C.CDLL(LIBRARY)
for name, result, args in [
        ("Kvo_CreateVM", VP, [VP]), ("Kvo_ReleaseVM", C.c_int, [VP]),
        ("Kvo_CompileTextA", C.c_int, [VP, C.c_char_p, C.c_int, C.c_int, VP, VP]),
        ("Kvo_ExecuteA", C.c_int, [VP, C.c_char_p, C.c_int, STRS, C.c_int, VP, VP]),
        ("Kvo_GetIntResult", C.c_int32, [VP]), ("Kvo_GetCurrentLine", C.c_int32, [VP]),
        ("Kvo_GetCurrentSourceA", C.c_char_p, [VP]),
        ("Kvo_CreateCallbackPrinter", VP, [PRINT]), ("Kvo_ReleasePrinter", C.c_int, [VP]),
        ("Kvo_CreateCallbackInput", VP, [CHAR, LINE]), ("Kvo_ReleaseInput", C.c_int, [VP]),
        ("Kvo_SetCurrentInput", VP, [VP, VP]),
        ("Kvo_SetUntrusted", C.c_int, [VP, C.c_int]), ("Kvo_GetUntrusted", C.c_int, [VP])]:
    getattr(lib, name).restype, getattr(lib, name).argtypes = result, args


class FlatInterface(unittest.TestCase):
    def setUp(self):
        self.printed = []
        self.callback = PRINT(lambda text: self.printed.append(text.decode()))  # lives with the printer
        self.printer = lib.Kvo_CreateCallbackPrinter(self.callback)
        self.vm = lib.Kvo_CreateVM(self.printer)

    def tearDown(self):
        self.assertEqual((lib.Kvo_ReleaseVM(self.vm), lib.Kvo_ReleasePrinter(self.printer)), (1, 1))

    def run_function(self, name, *args):
        self.printed.clear()
        argv = (C.c_char_p * len(args))(*[a.encode() for a in args]) if args else None
        return lib.Kvo_ExecuteA(self.vm, name.encode(), len(args), argv, 0, None, None)

    def test_execute_with_arguments(self):
        self.assertEqual(lib.Kvo_CompileTextA(self.vm, b'j(a, b) { print(a + "+" + b); return 5; }\n'
                                              b'none() { throw "kaputt"; }', 0, 0, None, None), 1)
        self.assertEqual((self.run_function("j", "caf\u00e9", "x"), self.printed), (1, ["caf\u00e9+x"]))
        self.assertEqual(lib.Kvo_GetIntResult(self.vm), 5)
        self.assertEqual(lib.Kvo_ExecuteA(self.vm, b"j", 1, None, 0, None, None), 0)
        self.assertEqual(self.run_function("none"), 0)
        self.assertIn("kaputt", "".join(self.printed))

    def test_callback_input_feeds_gets_and_getc(self):
        lines, keep, chars = [b"first", b"second"], [], iter(b"AB")

        def next_line():
            if not lines:
                return None
            keep.append(C.create_string_buffer(lines.pop(0)))
            return C.addressof(keep[-1])
        char_callback, line_callback = CHAR(lambda: next(chars, 65535)), LINE(next_line)
        channel = lib.Kvo_CreateCallbackInput(char_callback, line_callback)
        standard = lib.Kvo_SetCurrentInput(self.vm, channel)
        lib.Kvo_CompileTextA(self.vm, b'rd() { var s = gets(); print(s + ":" + getc()); }', 0, 0, None, None)
        seen = [(self.run_function("rd"), "".join(self.printed)) for _ in range(3)]
        self.assertEqual(seen, [(1, "first:A"), (1, "second:B"), (1, ":\uffff")])
        self.assertEqual(lib.Kvo_SetCurrentInput(self.vm, None), channel)
        self.assertEqual((lib.Kvo_ReleaseInput(standard), lib.Kvo_ReleaseInput(channel)), (0, 1))

    def test_stale_and_mistyped_handles_are_refused(self):
        gone = lib.Kvo_CreateVM(None)
        self.assertEqual(lib.Kvo_ReleaseVM(gone), 1)
        self.assertEqual((lib.Kvo_CompileTextA(gone, b"f() { return 1; }", 0, 0, None, None),
                          lib.Kvo_ExecuteA(gone, b"f", 0, None, 0, None, None), lib.Kvo_GetIntResult(gone),
                          lib.Kvo_ReleaseVM(gone)), (0, 0, -2147483648, 0))
        # A printer is no machine, a machine no printer; the printer of a live machine stays.
        self.assertEqual(lib.Kvo_CompileTextA(self.printer, b"f() { return 1; }", 0, 0, None, None), 0)
        self.assertEqual(lib.Kvo_CompileTextA(self.vm, b"f() { return 1; }", 0, 0, self.vm, None), 0)
        self.assertEqual((lib.Kvo_ReleaseVM(self.printer), lib.Kvo_ReleasePrinter(self.vm)), (0, 0))
        self.assertEqual(lib.Kvo_ReleasePrinter(self.printer), 0)

    def test_execute_from_the_scripts_own_printer_stops_at_the_nesting_limit(self):
        errors, depth = [], [0, 0]
        error_callback = PRINT(lambda text: errors.append(text.decode()))
        error_printer = lib.Kvo_CreateCallbackPrinter(error_callback)

        def print_again(_text):
            depth[0] += 1
            depth[1] = max(depth)
            lib.Kvo_ExecuteA(vm, b"again", 0, None, 0, error_printer, None)
            depth[0] -= 1
        again_callback = PRINT(print_again)
        printer = lib.Kvo_CreateCallbackPrinter(again_callback)
        vm = lib.Kvo_CreateVM(printer)
        lib.Kvo_CompileTextA(vm, b'again() { print("x"); return 1; }', 0, 0, None, None)
        self.assertEqual(lib.Kvo_ExecuteA(vm, b"again", 0, None, 0, None, None), 1)
        self.assertEqual((depth, errors), ([0, 100], ["stack overflow\n"]))
        self.assertEqual((lib.Kvo_ReleaseVM(vm), lib.Kvo_ReleasePrinter(printer),
                          lib.Kvo_ReleasePrinter(error_printer)), (1, 1, 1))

    def test_untrusted_scripts_reach_no_file(self):
        self.assertEqual((lib.Kvo_SetUntrusted(self.vm, 1), lib.Kvo_GetUntrusted(self.vm)), (1, 1))
        lib.Kvo_CompileTextA(self.vm, b'peek() { var f = fopen("/etc/hostname", "r"); return fgets(f); }', 0, 0,
                             None, None)
        self.assertEqual(self.run_function("peek"), 0)
        self.assertEqual("".join(self.printed), "function not available in untrusted mode\n")

    def test_null_handles(self):
        self.assertEqual((lib.Kvo_ReleaseVM(None), lib.Kvo_GetIntResult(None), lib.Kvo_GetCurrentLine(None)),
                         (0, -2147483648, -1))
        self.assertIsNone(lib.Kvo_GetCurrentSourceA(None))
        self.assertEqual(lib.Kvo_ExecuteA(None, b"f", 0, None, 0, None, None), 0)
        self.assertIsNone(lib.Kvo_CreateCallbackPrinter(PRINT()))
        self.assertEqual((lib.Kvo_ReleasePrinter(None), lib.Kvo_ReleaseInput(None)), (0, 0))
        self.assertIsNone(lib.Kvo_SetCurrentInput(None, None))


if __name__ == "__main__":
    unittest.main(verbosity=2)
