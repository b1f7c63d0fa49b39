#!/usr/bin/env python3
"""A Python host of libkvolib's embedding functions through ctypes. Usage: api_ctypes_test.py LIBRARY"""
import ctypes as C
import sys
import unittest

LIBRARY = sys.argv.pop(1) if len(sys.argv) > 1 else "libkvolib.so"
NIL, INT, DOUBLE, STRING, OTHER = range(5)
VP = C.c_void_p
PRINT = C.CFUNCTYPE(None, C.c_char_p)
HOST = C.CFUNCTYPE(None, VP, VP)


class Value(C.Union):
    _fields_ = [("i", C.c_int32), ("d", C.c_double), ("s", C.c_char_p)]


class Argument(C.Structure):
    _fields_ = [("type", C.c_int32), ("value", Value)]


lib = C.CDLL(LIBRARY)
I32P, DP, SP = C.POINTER(C.c_int32), C.POINTER(C.c_double), C.POINTER(C.c_char_p)
for name, result, args in [
        ("Kvo_CreateVM", VP, [VP]), ("Kvo_ReleaseVM", C.c_int, [VP]), ("Kvo_Reinit", None, [VP]),
        ("Kvo_CreateCallbackPrinter", VP, [PRINT]), ("Kvo_ReleasePrinter", C.c_int, [VP]),
        ("Kvo_CompileTextA", C.c_int, [VP, C.c_char_p, C.c_int, C.c_int, VP, VP]),
        ("Kvo_ExecuteA", C.c_int, [VP, C.c_char_p, C.c_int, VP, C.c_int, VP, VP]),
        ("Kvo_GetIntResult", C.c_int32, [VP]),
        ("Kvo_GetLastError", C.c_char_p, [VP]),
        ("Kvo_SetUserData", C.c_int, [VP, VP]), ("Kvo_GetUserData", VP, [VP]),
        ("Kvo_RegisterFunction", C.c_int, [VP, C.c_char_p, HOST, VP]),
        ("Kvo_CallMachine", VP, [VP]), ("Kvo_ArgCount", C.c_int, [VP]), ("Kvo_ArgType", C.c_int, [VP, C.c_int]),
        ("Kvo_ArgInt", C.c_int, [VP, C.c_int, I32P]), ("Kvo_ArgDouble", C.c_int, [VP, C.c_int, DP]),
        ("Kvo_ArgString", C.c_int, [VP, C.c_int, SP]),
        ("Kvo_ReturnNil", C.c_int, [VP]), ("Kvo_ReturnInt", C.c_int, [VP, C.c_int32]),
        ("Kvo_ReturnDouble", C.c_int, [VP, C.c_double]), ("Kvo_ReturnString", C.c_int, [VP, C.c_char_p]),
        ("Kvo_RaiseError", C.c_int, [VP, C.c_char_p]),
        ("Kvo_SetGlobalNil", C.c_int, [VP, C.c_char_p]), ("Kvo_SetGlobalInt", C.c_int, [VP, C.c_char_p, C.c_int32]),
        ("Kvo_SetGlobalDouble", C.c_int, [VP, C.c_char_p, C.c_double]),
        ("Kvo_SetGlobalString", C.c_int, [VP, C.c_char_p, C.c_char_p]),
        ("Kvo_GetGlobalType", C.c_int, [VP, C.c_char_p]), ("Kvo_GetGlobalInt", C.c_int, [VP, C.c_char_p, I32P]),
        ("Kvo_GetGlobalDouble", C.c_int, [VP, C.c_char_p, DP]),
        ("Kvo_GetGlobalString", C.c_int, [VP, C.c_char_p, SP]),
        ("Kvo_CallFunction", C.c_int, [VP, C.c_char_p, C.POINTER(Argument), C.c_int]),
        ("Kvo_GetResultType", C.c_int, [VP]), ("Kvo_GetDoubleResult", C.c_int, [VP, DP]),
        ("Kvo_GetStringResult", C.c_int, [VP, SP])]:
    getattr(lib, name).restype, getattr(lib, name).argtypes = result, args


def arguments(*values):
    """A KvoArgument array for Python values (None, int, float, str)."""
    array = (Argument * len(values))()
    for slot, value in zip(array, values):
        if value is None:
            slot.type = NIL
        elif isinstance(value, int):
            slot.type, slot.value.i = INT, value
        elif isinstance(value, float):
            slot.type, slot.value.d = DOUBLE, value
        else:
            slot.type, slot.value.s = STRING, value.encode()
    return array


def argument_values(call):
    """The arguments of a host function call as Python values (OTHER as the string "other")."""
    values = []
    for index in range(lib.Kvo_ArgCount(call)):
        kind = lib.Kvo_ArgType(call, index)
        if kind == INT:
            out = C.c_int32()
            lib.Kvo_ArgInt(call, index, C.byref(out))
            values.append(out.value)
        elif kind == DOUBLE:
            out = C.c_double()
            lib.Kvo_ArgDouble(call, index, C.byref(out))
            values.append(out.value)
        elif kind == STRING:
            out = C.c_char_p()
            lib.Kvo_ArgString(call, index, C.byref(out))
            values.append(out.value.decode())
        else:
            values.append(None if kind == NIL else "other")
    return values


class EmbeddingInterface(unittest.TestCase):
    def setUp(self):
        self.printed = []
        self.print_callback = PRINT(lambda text: self.printed.append(text.decode()))
        self.printer = lib.Kvo_CreateCallbackPrinter(self.print_callback)
        self.vm = lib.Kvo_CreateVM(self.printer)
        self.callbacks = []  # ctypes callbacks must outlive their registration

    def tearDown(self):
        self.assertEqual((lib.Kvo_ReleaseVM(self.vm), lib.Kvo_ReleasePrinter(self.printer)), (1, 1))

    def register(self, name, function):
        callback = HOST(function)
        self.callbacks.append(callback)
        return lib.Kvo_RegisterFunction(self.vm, name.encode(), callback, None)

    def compile(self, source):
        self.assertEqual(lib.Kvo_CompileTextA(self.vm, source.encode(), 0, 0, None, None), 1,
                         lib.Kvo_GetLastError(self.vm))

    def call(self, name, *values):
        return lib.Kvo_CallFunction(self.vm, name.encode(), arguments(*values), len(values))

    def result(self):
        kind = lib.Kvo_GetResultType(self.vm)
        if kind == INT:
            return lib.Kvo_GetIntResult(self.vm)
        if kind == DOUBLE:
            out = C.c_double()
            self.assertEqual(lib.Kvo_GetDoubleResult(self.vm, C.byref(out)), 1)
            return out.value
        if kind == STRING:
            out = C.c_char_p()
            self.assertEqual(lib.Kvo_GetStringResult(self.vm, C.byref(out)), 1)
            return out.value.decode()
        return None if kind == NIL else "other"

    def error(self, vm=0):
        return lib.Kvo_GetLastError(self.vm if vm == 0 else vm).decode()

    def test_host_function_sees_every_kind_and_returns_one(self):
        seen = []

        def record(call, _):
            seen.append(argument_values(call))
            lib.Kvo_ReturnString(call, "r\u00e9sum\u00e9".encode())
        self.assertEqual(self.register("record", record), 1)
        self.compile('f(; r) { r = record(1, 2.5, "\u00e9", null, [1]); return r + "!"; }')
        self.assertEqual((self.call("f"), self.result()), (1, "r\u00e9sum\u00e9!"))
        self.assertEqual(seen, [[1, 2.5, "\u00e9", None, "other"]])

    def test_results_of_every_kind(self):
        def make(call, _):
            kind = argument_values(call)[0]
            {"int": lambda: lib.Kvo_ReturnInt(call, -3), "double": lambda: lib.Kvo_ReturnDouble(call, 0.5),
             "string": lambda: lib.Kvo_ReturnString(call, b"s"), "nil": lambda: lib.Kvo_ReturnNil(call)}[kind]()
        self.register("make", make)
        self.compile("g(k) { return make(k); }")
        for kind, expected in [("int", -3), ("double", 0.5), ("string", "s"), ("nil", None)]:
            self.assertEqual((self.call("g", kind), self.result()), (1, expected))

    def test_raised_errors_are_caught_or_end_the_run(self):
        def fail(call, _):
            lib.Kvo_RaiseError(call, b"no such thing")
        self.register("fail", fail)
        self.compile('caught() { try { fail(); } catch (e) { return "got " + e; } }\nuncaught() { fail(); }')
        self.assertEqual((self.call("caught"), self.result()), (1, "got no such thing"))
        self.assertEqual(self.call("uncaught"), 0)
        self.assertIn("no such thing", self.error())

    def test_callback_calls_back_into_the_machine(self):
        def twice(call, _):
            vm = lib.Kvo_CallMachine(call)
            value = argument_values(call)[0]
            if lib.Kvo_CallFunction(vm, b"inc", arguments(value), 1) != 1:
                lib.Kvo_RaiseError(call, lib.Kvo_GetLastError(vm))
                return
            first = lib.Kvo_GetIntResult(vm)
            lib.Kvo_CallFunction(vm, b"inc", arguments(first), 1)
            lib.Kvo_ReturnInt(call, lib.Kvo_GetIntResult(vm))
        self.register("twice", twice)
        self.compile("inc(n) { return n + 1; }\nouter() { return twice(10) * 2; }\nbad() { return twice(null); }")
        self.assertEqual((self.call("outer"), self.result()), (1, 24))
        self.assertEqual(self.call("bad"), 0)
        self.assertIn("invalid value type", self.error())

    def test_globals(self):
        self.assertEqual([lib.Kvo_SetGlobalInt(self.vm, b"gi", 4), lib.Kvo_SetGlobalDouble(self.vm, b"gd", 1.25),
                          lib.Kvo_SetGlobalString(self.vm, b"gs", "\u20ac".encode()),
                          lib.Kvo_SetGlobalNil(self.vm, b"gn")], [1, 1, 1, 1])
        self.compile('both() { gi = gi * 10; gs = gs + gs; return gd; }')
        self.assertEqual((self.call("both"), self.result()), (1, 1.25))
        value, text = C.c_int32(), C.c_char_p()
        self.assertEqual(lib.Kvo_GetGlobalInt(self.vm, b"gi", C.byref(value)), 1)
        self.assertEqual(value.value, 40)
        self.assertEqual(lib.Kvo_GetGlobalString(self.vm, b"gs", C.byref(text)), 1)
        self.assertEqual(text.value.decode(), "\u20ac\u20ac")
        self.assertEqual([lib.Kvo_GetGlobalType(self.vm, n) for n in (b"gi", b"gd", b"gs", b"gn", b"none")],
                         [INT, DOUBLE, STRING, NIL, -1])
        self.assertEqual(lib.Kvo_GetGlobalString(self.vm, b"gi", C.byref(text)), 0)
        self.assertIn("is an integer, not a string", self.error())

    def test_user_data_and_bad_input(self):
        marker = C.c_int(7)
        self.assertEqual(lib.Kvo_SetUserData(self.vm, C.addressof(marker)), 1)
        self.assertEqual(lib.Kvo_GetUserData(self.vm), C.addressof(marker))
        self.assertEqual(lib.Kvo_SetUserData(None, None), 0)
        self.assertEqual(self.error(None), "null machine handle")
        self.assertEqual(self.register("1x", lambda call, _: None), 0)
        self.assertIn("not a valid function name", self.error())
        self.assertEqual(self.call("missing"), 0)
        self.assertEqual(self.error(), "unknown function 'missing'")
        self.assertEqual(lib.Kvo_ArgCount(None), -1)
        self.assertEqual(self.error(None), "null call context")


if __name__ == "__main__":
    unittest.main()
