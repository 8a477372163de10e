"""The class Plugin, its class attributes and its constructor."""
import unittest

import addonGate
from addonGate import Plugin
from support import FILE_NAME, ModuleTestCase, module_entries

MESSAGE = "参数错误,plugin_name少需要一个有效参数"
METHODS = ("__init__", "get_plugin_list", "exec_fun", "get_fun", "isdef", "__dir__")


class Refusing(Exception):
    pass


class ClassTest(ModuleTestCase):
    def test_class_shape(self):
        self.assertIs(type(Plugin), type)
        self.assertEqual(Plugin.__bases__, (object,))
        self.assertEqual(Plugin.__name__, "Plugin")
        self.assertEqual(Plugin.__qualname__, "Plugin")
        self.assertEqual(Plugin.__module__, "addonGate")
        self.assertIsNone(Plugin.__doc__)
        ns = vars(Plugin)
        self.assertIsNone(ns["_Plugin__plugin_name"])
        self.assertIs(ns["_Plugin__is_php"], False)
        self.assertIsNone(ns["__dict__"])
        self.assertIs(type(ns["_Plugin__obj_dict"]), dict)

    def test_class_attribute_order(self):
        # A class statement with the same body gives the same key order,
        # whatever this interpreter adds on its own.
        namespace = {"__module__": "addonGate", "__qualname__": "Plugin",
                     "_Plugin__plugin_name": None, "_Plugin__is_php": False,
                     "__dict__": None, "_Plugin__obj_dict": {}}
        for name in METHODS:
            namespace[name] = vars(Plugin)[name]
        reference = type("Plugin", (), namespace)
        self.assertEqual(list(vars(Plugin)), list(vars(reference)))

    def test_shared_object_cache(self):
        a, b = Plugin("a"), Plugin("b")
        self.assertIs(a._Plugin__obj_dict, b._Plugin__obj_dict)
        self.assertIs(a._Plugin__obj_dict, vars(Plugin)["_Plugin__obj_dict"])


class ConstructorTest(ModuleTestCase):
    def caught(self, kind, func, *args, **kwargs):
        """The exception with its traceback (assertRaises drops it)."""
        try:
            func(*args, **kwargs)
        except kind as exc:
            return exc
        self.fail("%s not raised" % kind.__name__)

    def test_name_is_stored_but_hidden(self):
        p = Plugin("demo")
        self.assertEqual(p._Plugin__plugin_name, "demo")
        self.assertIsNone(Plugin._Plugin__plugin_name)
        self.assertIs(p._Plugin__is_php, False)
        self.assertIsNone(p.__dict__)
        self.assertIsNone(vars(p))
        self.assertEqual(dir(p), [])
        self.assertEqual(Plugin(init_plugin_name="kw")._Plugin__plugin_name, "kw")

    def test_true_values_are_stored_unchanged(self):
        value = object()
        for name in (False, True, 7, value, ["x"]):
            self.assertIs(Plugin(name)._Plugin__plugin_name, name)
        p = Plugin("a")
        self.assertIsNone(Plugin.__init__(p, "b"))
        self.assertEqual(p._Plugin__plugin_name, "b")

    def test_false_names_refused(self):
        class Falsy(object):
            def __len__(self):
                return 0

        for args in [(), ("",), (None,), (0,), ([],), (0.0,), (Falsy(),)]:
            exc = self.caught(ValueError, Plugin, *args)
            self.assertIs(type(exc), ValueError)
            self.assertEqual(exc.args, (MESSAGE,))
            self.assertEntry(exc, "addonGate.Plugin.__init__", 34)
        exc = self.caught(ValueError, Plugin, init_plugin_name="")
        self.assertEntry(exc, "addonGate.Plugin.__init__", 34)

    def test_refusal_changes_nothing(self):
        p = Plugin("kept")
        self.assertEntry(self.caught(ValueError, p.__init__, ""), "addonGate.Plugin.__init__", 34)
        self.assertEqual(p._Plugin__plugin_name, "kept")

    def test_truth_test_error(self):
        class Awkward(object):
            def __bool__(self):
                raise Refusing("no truth")

        entries = module_entries(self.caught(Refusing, Plugin, Awkward()))
        self.assertEqual(entries[0], (FILE_NAME, "addonGate.Plugin.__init__", 33))
        self.assertEqual([e[1] for e in entries[1:]], ["__bool__"])

    def test_attribute_store_goes_through_setattr(self):
        seen = []

        class Recording(Plugin):
            def __setattr__(self, name, value):
                seen.append((name, value))
                object.__setattr__(self, name, value)

        self.assertEqual(Recording("x")._Plugin__plugin_name, "x")
        self.assertEqual(seen, [("_Plugin__plugin_name", "x")])

        class Refuser(Plugin):
            def __setattr__(self, name, value):
                raise Refusing(name)

        exc = self.caught(Refusing, Refuser, "x")
        self.assertEqual(exc.args, ("_Plugin__plugin_name",))
        entries = module_entries(exc)
        self.assertEqual(entries[0], (FILE_NAME, "addonGate.Plugin.__init__", 35))
        self.assertEqual([e[1] for e in entries[1:]], ["__setattr__"])

    def test_class_attributes_untouched_by_construction(self):
        cache = vars(Plugin)["_Plugin__obj_dict"]
        Plugin("a")
        Plugin(False)
        self.assertIs(vars(Plugin)["_Plugin__obj_dict"], cache)
        self.assertEqual(cache, {})
        self.assertIsNone(vars(Plugin)["_Plugin__plugin_name"])
        self.assertIs(vars(Plugin)["_Plugin__is_php"], False)
        self.assertIs(addonGate.Plugin, Plugin)


if __name__ == "__main__":
    unittest.main()
