"""The callable objects that stand for the methods of Plugin."""
import gc
import inspect
import json
import sys
import types
import unittest

import addonGate
from addonGate import Plugin
from support import (FILE_NAME, LEGACY_BUILD, ModuleTestCase, address_text, module_entries,
                     run_python)

NAMES = ("__init__", "get_plugin_list", "exec_fun", "get_fun", "isdef", "__dir__")
# name: (parameters, further locals, first line, defaults)
RECORDS = {
    "__init__": (("self", "init_plugin_name"), (), 25, (None,)),
    "get_plugin_list": (("self", "upgrade_force"), ("force",), 37, (False,)),
    "exec_fun": (("self", "get_args", "def_name"), ("res",), 48, (None,)),
    "get_fun": (("self", "def_name"), ("get_args",), 68, None),
    "isdef": (("self", "def_name"), (), 83, None),
    "__dir__": (("self",), (), 94, None),
}
DOC_LINES = {
    "__init__": ["@name 实例化插件对像", "@author kvarn<2021-06-15>",
                 "@param init_plugin_name<string> 插件名称", "@return Plguin<object>"],
    "get_plugin_list": ["@name 获取插件列表", "@author kvarn<2021-06-15>",
                        "@param upgrade_force<bool> 是否强制重新获取列表", "@return dict"],
    "exec_fun": ["@name 执行指定方法", "@author kvarn<2021-06-16>", "@param def_name<string> 方法名称",
                 "@param get_args<dict_obj> POST/GET参数对像", "@return mixed"],
    "get_fun": ["@name 获取函对像", "@author kvarn<2021-06-28>",
                "@param def_name<string> 函数名称", "@return func_object"],
    "isdef": ["@name 指定方法是否存在", "@author kvarn<2021-06-16>",
              "@param def_name<string> 方法名称", "@return bool"],
}
# Interpreters before 3.11 add CO_NOFREE to every code object without free variables.
CODE_FLAGS = inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS | (0x40 if sys.version_info < (3, 11) else 0)
WRITABLE = ("__name__", "__qualname__", "__doc__", "__module__", "__dict__",
            "__defaults__", "__kwdefaults__", "__annotations__")
DELETE = object()


# Subclasses are accepted wherever their base type is.
StrSub, TupleSub, DictSub = (type(base.__name__ + "_sub", (base,), {}) for base in (str, tuple, dict))


class MethodObjectTest(ModuleTestCase):
    def test_type_and_reduce(self):
        kinds = set(type(vars(Plugin)[name]) for name in NAMES)
        self.assertEqual(len(kinds), 1)
        kind = kinds.pop()
        self.assertEqual((kind.__name__, kind.__module__, kind.__bases__),
                         ("plugin_method", "addonGate", (object,)))
        for make in (lambda: type("Sub", (kind,), {}), kind, lambda: object.__new__(kind)):
            self.assertRaises(TypeError, make)
        m = Plugin.isdef
        self.assertTrue(gc.is_tracked(m))
        self.assertTrue(m == m and not m != m and m != Plugin.get_fun)
        self.assertEqual(hash(m), object.__hash__(m))
        self.assertRaises(TypeError, lambda: m < Plugin.get_fun)
        for name in NAMES:
            method = vars(Plugin)[name]
            self.assertEqual(repr(method), "<plugin_method Plugin.%s at %s>"
                             % (name, address_text(method)))
            reduced = name if LEGACY_BUILD else "Plugin." + name
            self.assertEqual((method.__reduce__(), method.__reduce__(1, "x")), (reduced, reduced))

    def test_reads(self):
        for name in NAMES:
            m = vars(Plugin)[name]
            self.assertIs(m.__name__, sys.intern(name))  # interned, and kept once made
            self.assertIs(m.func_name, m.__name__)
            self.assertEqual((m.__qualname__, m.__module__), ("Plugin." + name, "addonGate"))
            self.assertIs(m.__globals__, vars(addonGate))
            self.assertIs(m.func_globals, vars(addonGate))
            for attr in ("__closure__", "func_closure", "__self__", "__kwdefaults__"):
                self.assertIsNone(getattr(m, attr), attr)
            self.assertEqual(m.__defaults__, RECORDS[name][3])
            self.assertIs(m.func_defaults, m.__defaults__)
            self.assertIs(m.func_code, m.__code__)
            self.assertEqual(m.__annotations__, {})
            self.assertIs(m.__annotations__, m.__annotations__)
            self.assertIs(m.__dict__, m.func_dict)
        self.assertRaises(AttributeError, getattr, Plugin.isdef, "no_such_attribute")

    def test_code_objects(self):
        for name in NAMES:
            params, extra, first_line, _ = RECORDS[name]
            code = vars(Plugin)[name].__code__
            self.assertIsInstance(code, types.CodeType)
            self.assertEqual(
                (code.co_name, code.co_filename, code.co_firstlineno, code.co_argcount,
                 code.co_kwonlyargcount, getattr(code, "co_posonlyargcount", 0),
                 code.co_varnames, code.co_nlocals, code.co_flags),
                (name, FILE_NAME, first_line, len(params), 0, 0, params + extra,
                 len(params + extra), CODE_FLAGS))
            self.assertEqual((code.co_consts, code.co_names, code.co_freevars, code.co_cellvars),
                             ((), (), (), ()))

    def test_doc_texts(self):
        for name, lines in DOC_LINES.items():
            m = vars(Plugin)[name]
            text = "\n" + "".join(" " * 12 + line + "\n" for line in lines) + " " * 8
            self.assertEqual(m.__doc__, text)
            self.assertIs(m.__doc__, m.__doc__)
            self.assertIs(m.func_doc, m.__doc__)
        self.assertIsNone(Plugin.__dir__.__doc__)
        self.assertIsNone(Plugin.__dir__.func_doc)

    def test_refused_writes_and_deletions(self):
        m = Plugin.get_fun
        for attr in WRITABLE:
            self.addCleanup(setattr, m, attr, getattr(m, attr))
        name_text = "__name__ must be set to a string object"
        qual_text = "__qualname__ must be set to a string object"
        cases = [("__name__", 5, name_text), ("__name__", DELETE, name_text),
                 ("func_name", b"x", name_text), ("func_name", DELETE, name_text),
                 ("__qualname__", None, qual_text), ("__qualname__", DELETE, qual_text),
                 ("__dict__", None, "setting function's dictionary to a non-dict"),
                 ("func_dict", [], "setting function's dictionary to a non-dict"),
                 ("__dict__", DELETE, "function's dictionary may not be deleted"),
                 ("func_dict", DELETE, "function's dictionary may not be deleted"),
                 ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
                 ("func_defaults", 1, "__defaults__ must be set to a tuple object"),
                 ("__kwdefaults__", (1,), "__kwdefaults__ must be set to a dict object"),
                 ("__annotations__", 1, "__annotations__ must be set to a dict object")]
        for attr, value, text in cases:
            before = getattr(m, attr)
            with self.assertRaises(TypeError) as cm:
                if value is DELETE:
                    delattr(m, attr)
                else:
                    setattr(m, attr, value)
            self.assertEqual(str(cm.exception), text, attr)
            self.assertIs(getattr(m, attr), before)
        for attr in ("__globals__", "func_globals", "__closure__", "func_closure",
                     "__code__", "func_code", "__self__"):
            before = getattr(m, attr)
            self.assertRaises(AttributeError, setattr, m, attr, None)
            self.assertRaises(AttributeError, delattr, m, attr)
            self.assertIs(getattr(m, attr), before)

    def test_accepted_writes_and_deletions(self):
        m = Plugin.get_fun
        for attr in WRITABLE:
            self.addCleanup(setattr, m, attr, getattr(m, attr))
        for attr, value in [("__name__", StrSub("n")), ("func_name", "f"), ("__qualname__", StrSub("q")),
                            ("__doc__", object()), ("func_doc", "d"), ("__module__", 7),
                            ("__dict__", DictSub(y=2)), ("func_dict", {"z": 3}),
                            ("__defaults__", TupleSub((1,))), ("func_defaults", (2,)),
                            ("__defaults__", None), ("__kwdefaults__", DictSub(a=1)),
                            ("__kwdefaults__", None), ("__annotations__", DictSub())]:
            setattr(m, attr, value)
            canonical = "__%s__" % attr[5:] if attr.startswith("func_") else attr
            self.assertIs(getattr(m, canonical), value, attr)
        self.assertEqual(m.z, 3)
        m.x = 1
        self.assertEqual(m.__dict__, {"z": 3, "x": 1})
        for attr in ("__doc__", "__module__", "__defaults__", "__kwdefaults__"):
            setattr(m, attr, (1,) if attr == "__defaults__" else {})
            delattr(m, attr)
            self.assertIsNone(getattr(m, attr), attr)
        for clear in (lambda: setattr(m, "__annotations__", None),
                      lambda: delattr(m, "__annotations__")):
            old = m.__annotations__
            clear()
            self.assertEqual(m.__annotations__, {})
            self.assertIsNot(m.__annotations__, old)

    def test_binding(self):
        p = Plugin("demo")
        m = vars(Plugin)["isdef"]
        self.assertIs(Plugin.isdef, m)
        self.assertIs(m.__get__(None, Plugin), m)
        bound = p.isdef
        self.assertIsInstance(bound, types.MethodType)
        self.assertIsNot(p.isdef, bound)
        self.assertIs(bound.__func__, m)
        self.assertIs(bound.__self__, p)
        other = m.__get__(5, int)
        self.assertIs(other.__self__, 5)
        self.assertIs(other.__func__, m)

    def test_dir_dispatcher_refusals(self):
        p = Plugin("demo")
        one = "__dir__() takes exactly one argument (%d given)"
        no_keywords = "__dir__() takes no keyword arguments"
        for text, func, args, kwargs in [(one % 2, p.__dir__, (1,), {}), (one % 0, Plugin.__dir__, (), {}),
                                         (one % 3, Plugin.__dir__, (p, 1, 2), {}),
                                         (no_keywords, p.__dir__, (), {"x": 1}),
                                         (no_keywords, p.__dir__, (1,), {"x": 1}),
                                         (no_keywords, Plugin.__dir__, (), {"x": 1})]:
            try:
                func(*args, **kwargs)
            except TypeError as exc:
                self.assertEqual(str(exc), text)
                self.assertEqual(module_entries(exc), [])
            else:
                self.fail(text)
        self.assertEqual((Plugin.__dir__(p, **{}), p.__dir__(**{})), ("", ""))

    def test_reached_after_collector_clear(self):
        # A finaliser that runs while the collector clears a method object
        # (its weak reference made too late to be cleared) reads it whole.
        code = r"""
import gc, json, weakref, addonGate
m = addonGate.Plugin.__dict__["isdef"]
del addonGate.Plugin.isdef
seen = {}

class Late(object):
    __slots__ = ("ref",)
    def __del__(self):
        got = self.ref()
        if got is None:
            seen.update(cleared_ref=True)
            return
        seen.update(repr=repr(got).split(" at ")[0], qualname=got.__qualname__,
                    reduce=got.__reduce__(), name=got.__name__, code=got.__code__.co_name,
                    module=got.__module__)

class Cycle(tuple):
    __slots__ = ()
    def __del__(self):
        global late
        self[1].ref = weakref.ref(self[0])
        del late

late = Late()
m.__defaults__ = tuple.__new__(Cycle, (m, late))  # cleared after the names
del m
gc.collect()
print(json.dumps(seen))
"""
        proc = run_python(code)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        seen = json.loads(proc.stdout)
        if seen == {"cleared_ref": True} and sys.version_info >= (3, 14):
            self.skipTest("from 3.14 the collector also clears weak references made by finalisers")
        reduced = "isdef" if LEGACY_BUILD else "Plugin.isdef"
        self.assertEqual(seen, {
            "repr": "<plugin_method Plugin.isdef", "qualname": "Plugin.isdef", "reduce": reduced,
            "name": "isdef", "code": "isdef", "module": None})

if __name__ == "__main__":
    unittest.main()
