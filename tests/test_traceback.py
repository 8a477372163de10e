"""Traceback entries that failures inside the module carry."""
import ctypes
import os
import sys
import traceback
import unittest

import addonGate
import commons
import RunnerCore
from addonGate import Plugin
from support import FILE_NAME, ModuleTestCase, module_entries


class Truthless(object):
    def __bool__(self, *other):
        raise ZeroDivisionError("no truth")
    __eq__ = __bool__
    __hash__ = object.__hash__


def first_entry(exc):
    """The first traceback entry made by the module: (code, line)."""
    tb = exc.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == FILE_NAME:
            return tb.tb_frame.f_code, tb.tb_lineno
        tb = tb.tb_next
    raise AssertionError("no module entry in %r" % traceback.extract_tb(exc.__traceback__))


def raising(fn, *args):
    """The exception with its traceback, which assertRaises drops."""
    try:
        fn(*args)
    except Exception as exc:
        return exc
    raise AssertionError("no exception from %r%r" % (fn, args))


def reference_code(name, line):
    make = ctypes.pythonapi.PyCode_NewEmpty
    make.restype = ctypes.py_object
    make.argtypes = (ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int)
    return make(FILE_NAME.encode(), name.encode(), line)


def provokers():
    """line -> (entry name, call that fails at that line)."""
    a = commons.dict_obj(s="m")
    reply = lambda r: setattr(RunnerCore, "reply", r)
    return {
        25: ("__init__", lambda: Plugin("a", "b")),
        33: ("__init__", lambda: Plugin(Truthless())),
        34: ("__init__", lambda: Plugin("")),
        37: ("get_plugin_list", lambda: Plugin("a").get_plugin_list(1, 2)),
        44: ("get_plugin_list", lambda: Plugin("a").get_plugin_list(Truthless())),
        48: ("exec_fun", lambda: Plugin("a").exec_fun()),
        56: ("exec_fun", lambda: Plugin("a").exec_fun(a, Truthless())),
        57: ("exec_fun", lambda: Plugin("a").exec_fun(object())),
        61: ("exec_fun", lambda: (reply({"status": Truthless()}), Plugin("a").exec_fun(a))),
        63: ("exec_fun", lambda: (reply({"status": False, "msg": 5}), Plugin("a").exec_fun(a))),
        64: ("exec_fun", lambda: (reply({"status": 0, "msg": "加载失败"}), Plugin("a").exec_fun(a))),
        68: ("get_fun", lambda: Plugin("a").get_fun()),
        75: ("get_fun", lambda: Plugin(["x"]).get_fun("m")),
        83: ("isdef", lambda: Plugin("a").isdef()),
        92: ("isdef", lambda: (reply(Truthless()), Plugin("a").isdef("m"))),
    }


class EntryTest(ModuleTestCase):
    def test_entry_shape(self):
        p = Plugin("a")
        rows = [(p.isdef, (), "isdef", 83), (p.get_fun, (), "get_fun", 68),
                (p.exec_fun, (), "exec_fun", 48), (p.get_plugin_list, (1, 2), "get_plugin_list", 37),
                (Plugin, ("a", "b"), "__init__", 25)]
        for fn, args, short, line in rows:
            name = "addonGate.Plugin." + short
            with self.subTest(name):
                exc = raising(fn, *args)
                self.assertIs(type(exc), TypeError)
                self.assertEntry(exc, name, line)
                tb = exc.__traceback__.tb_next
                self.assertIs(tb.tb_frame.f_globals, addonGate.__dict__)
                summary = traceback.extract_tb(exc.__traceback__)[-1]
                self.assertEqual((summary.filename, summary.lineno, summary.name), (FILE_NAME, line, name))
                code, ref = tb.tb_frame.f_code, reference_code(name, line)
                attrs = ["co_argcount", "co_kwonlyargcount", "co_nlocals", "co_stacksize", "co_flags",
                         "co_code", "co_consts", "co_names", "co_varnames", "co_freevars",
                         "co_cellvars", "co_firstlineno", "co_name", "co_filename"]
                if sys.version_info >= (3, 11):
                    attrs.append("co_qualname")
                for attr in attrs:
                    self.assertEqual(getattr(code, attr), getattr(ref, attr), attr)

    def test_one_code_object_per_line(self):
        e1 = raising(Plugin("a").isdef)
        e2 = raising(Plugin("b").isdef)
        self.assertIs(first_entry(e1)[0], first_entry(e2)[0])

    def test_cache_across_many_lines(self):
        table = provokers()
        order = sorted(table, key=lambda line: (line * 7) % 31)
        seen = {}
        for rounds in (order, list(reversed(order)), order):
            for line in rounds:
                RunnerCore.reset()
                Plugin._Plugin__obj_dict.clear()
                short, call = table[line]
                with self.subTest(line=line):
                    code, tb_line = first_entry(raising(call))
                    self.assertEqual((code.co_name, code.co_firstlineno, tb_line),
                                     ("addonGate.Plugin." + short, line, line))
                    self.assertIs(seen.setdefault(line, code), code)
        self.assertEqual(len(set(map(id, seen.values()))), len(table))

    def test_isdef_runner_failure_chain(self):
        def handler(plugin_name, def_name, get_args):
            raise LookupError("runner failed")
        RunnerCore.handler = handler
        exc = raising(Plugin("a").isdef, "m")
        self.assertIsInstance(exc, LookupError)
        entries = module_entries(exc)
        self.assertEqual(entries[:2], [(FILE_NAME, "addonGate.Plugin.isdef", 91),
                                       (FILE_NAME, "addonGate.Plugin.get_fun", 80)])
        rest = [(os.path.basename(f), n) for f, n, l in entries[2:]]
        self.assertEqual(rest, [("RunnerCore.py", "plugin_run"), ("test_traceback.py", "handler")])
        self.assertEqual(entries[3][2], handler.__code__.co_firstlineno + 1)
        self.assertEqual(Plugin._Plugin__obj_dict, {})
        text = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
        self.assertIn('  File "%s", line 91, in addonGate.Plugin.isdef\n'
                      '  File "%s", line 80, in addonGate.Plugin.get_fun\n'
                      '  File "%s", line ' % (FILE_NAME, FILE_NAME, RunnerCore.__file__), text)

    def test_format_exception_text(self):
        exc = raising(Plugin("a").isdef)
        lines = traceback.format_exception(type(exc), exc, exc.__traceback__)
        self.assertEqual(lines[0], "Traceback (most recent call last):\n")
        self.assertEqual(lines[-2:], [
            '  File "%s", line 83, in addonGate.Plugin.isdef\n' % FILE_NAME,
            "TypeError: isdef() takes exactly 2 positional arguments (1 given)\n"])
        last = traceback.extract_tb(exc.__traceback__)[-1]
        self.assertEqual((last.filename, last.lineno, last.name), (FILE_NAME, 83, "addonGate.Plugin.isdef"))

    def test_entries_accumulate_per_failure(self):
        # An exception passing through the module twice gains one entry each time.
        p = Plugin("a")

        def handler(plugin_name, def_name, get_args):
            return p.exec_fun(get_args, Truthless())
        RunnerCore.handler = handler
        exc = raising(p.exec_fun, commons.dict_obj(), "m")
        self.assertIsInstance(exc, ZeroDivisionError)
        names = [(n, l) for f, n, l in module_entries(exc) if f == FILE_NAME]
        self.assertEqual(names, [("addonGate.Plugin.exec_fun", 59), ("addonGate.Plugin.exec_fun", 56)])


if __name__ == "__main__":
    unittest.main()
