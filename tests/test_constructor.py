"""The class Plugin, its class attributes and its constructor."""
import unittest

from addonGate import Plugin
from support import FILE_NAME, ModuleTestCase, caught, module_entries

MESSAGE = "参数错误,plugin_name少需要一个有效参数"
METHODS = ("__init__", "get_plugin_list", "exec_fun", "get_fun", "isdef", "__dir__")


class Refusing(Exception):
    pass


class PluginClassTest(ModuleTestCase):
    def test_class(self):
        self.assertEqual((type(Plugin), Plugin.__bases__, Plugin.__name__, Plugin.__qualname__,
                          Plugin.__module__, Plugin.__doc__),
                         (type, (object,), "Plugin", "Plugin", "addonGate", None))
        ns = vars(Plugin)
        self.assertIsNone(ns["_Plugin__plugin_name"])
        self.assertIs(ns["_Plugin__is_php"], False)
        self.assertIsNone(ns["__dict__"])
        self.assertIs(type(ns["_Plugin__obj_dict"]), dict)
        # A class statement with the same body gives the same key order,
        # whatever the interpreter adds on its own.
        body = [("__module__", "addonGate"), ("__qualname__", "Plugin"),
                ("_Plugin__plugin_name", None), ("_Plugin__is_php", False), ("__dict__", None),
                ("_Plugin__obj_dict", {})] + [(name, ns[name]) for name in METHODS]
        reference = type("Plugin", (), dict(body))
        self.assertEqual(list(ns), list(vars(reference)))

    def test_name_is_stored_but_hidden(self):
        a, b = Plugin("demo"), Plugin(init_plugin_name="kw")
        self.assertEqual((a._Plugin__plugin_name, b._Plugin__plugin_name), ("demo", "kw"))
        self.assertIsNone(Plugin._Plugin__plugin_name)
        self.assertIs(a._Plugin__is_php, False)
        self.assertIsNone(a.__dict__)
        self.assertIsNone(vars(a))
        self.assertEqual(dir(a), [])
        self.assertIs(a._Plugin__obj_dict, b._Plugin__obj_dict)
        self.assertIs(a._Plugin__obj_dict, vars(Plugin)["_Plugin__obj_dict"])
        self.assertEqual(vars(Plugin)["_Plugin__obj_dict"], {})

    def test_true_values_stored_unchanged(self):
        for name in (False, True, 7, object(), ["x"]):
            self.assertIs(Plugin(name)._Plugin__plugin_name, name)
        p = Plugin("a")
        self.assertIsNone(Plugin.__init__(p, "b"))
        self.assertEqual(p._Plugin__plugin_name, "b")

    def test_false_names_refused(self):
        class Empty(object):
            def __len__(self):
                return 0

        p = Plugin("kept")
        cases = [(Plugin, ()), (Plugin, ("",)), (Plugin, (None,)), (Plugin, (0,)), (Plugin, ([],)),
                 (Plugin, (0.0,)), (Plugin, (Empty(),)), (p.__init__, ("",))]
        for func, args in cases:
            exc = caught(ValueError, func, *args)
            self.assertIs(type(exc), ValueError)
            self.assertEqual(exc.args, (MESSAGE,))
            self.assertEntry(exc, "addonGate.Plugin.__init__", 34)
        self.assertEntry(caught(ValueError, Plugin, init_plugin_name=""),
                         "addonGate.Plugin.__init__", 34)
        self.assertEqual(p._Plugin__plugin_name, "kept")

    def test_truth_test_error(self):
        class Awkward(object):
            def __bool__(self):
                raise Refusing("no truth")

        entries = module_entries(caught(Refusing, Plugin, Awkward()))
        self.assertEqual(entries[0], (FILE_NAME, "addonGate.Plugin.__init__", 33))
        self.assertEqual([e[1] for e in entries[1:]], ["__bool__"])

    def test_name_stored_through_setattr(self):
        seen = []

        class Recording(Plugin):
            def __setattr__(self, name, value):
                seen.append((name, value))
                object.__setattr__(self, name, value)

        class Refuser(Plugin):
            def __setattr__(self, name, value):
                raise Refusing(name)

        self.assertEqual(Recording("x")._Plugin__plugin_name, "x")
        self.assertEqual(seen, [("_Plugin__plugin_name", "x")])
        exc = caught(Refusing, Refuser, "x")
        self.assertEqual(exc.args, ("_Plugin__plugin_name",))
        entries = module_entries(exc)
        self.assertEqual(entries[0], (FILE_NAME, "addonGate.Plugin.__init__", 35))
        self.assertEqual([e[1] for e in entries[1:]], ["__setattr__"])

    def test_replaced_initialiser_is_what_the_class_runs(self):
        original = Plugin.__dict__["__init__"]
        calls = []
        try:
            Plugin.__init__ = lambda self, *a, **kw: calls.append((a, kw))
            Plugin("", x=1)
            self.assertEqual(calls, [(("",), {"x": 1})])
        finally:
            Plugin.__init__ = original
        self.assertIs(Plugin.__dict__["__init__"], original)
        self.assertEntry(caught(ValueError, Plugin, ""), "addonGate.Plugin.__init__", 34)
        self.assertEntry(caught(TypeError, Plugin, "a", "b"), "addonGate.Plugin.__init__", 25)

    def test_own_constructor_sees_the_arguments(self):
        made = []

        class Made(Plugin):
            def __new__(cls, *args, **kwargs):
                made.append((cls, args, kwargs))
                return object.__new__(cls)
        p = Made(init_plugin_name="x")
        self.assertEqual(made, [(Made, (), {"init_plugin_name": "x"})])
        self.assertEqual(p._Plugin__plugin_name, "x")
        self.assertEntry(caught(ValueError, Made, ""), "addonGate.Plugin.__init__", 34)


if __name__ == "__main__":
    unittest.main()
