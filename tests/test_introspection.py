"""The standard library's tools at work on Plugin and its methods."""
import copy
import cProfile
import gc
import inspect
import io
import os
import pickle
import pstats
import shutil
import sys
import tempfile
import traceback
import unittest
import weakref

import addonGate
from addonGate import Plugin
from support import FILE_NAME, LEGACY_BUILD, ModuleTestCase

NAMES = ("__init__", "get_plugin_list", "exec_fun", "get_fun", "isdef", "__dir__")

SIGNATURES = {
    "__init__": "(self, init_plugin_name=None)",
    "get_plugin_list": "(self, upgrade_force=False)",
    "exec_fun": "(self, get_args, def_name=None)",
    "get_fun": "(self, def_name)",
    "isdef": "(self, def_name)",
    "__dir__": "(self)",
}


def has(objects, target):
    return any(o is target for o in objects)


class IntrospectionTest(ModuleTestCase):
    def test_signatures(self):
        for name, text in SIGNATURES.items():
            self.assertEqual(str(inspect.signature(vars(Plugin)[name])), text)
        p = Plugin("demo")
        self.assertEqual(str(inspect.signature(p.exec_fun)), "(get_args, def_name=None)")
        self.assertEqual(str(inspect.signature(p.isdef)), "(def_name)")
        self.assertEqual(str(inspect.signature(Plugin)), "(init_plugin_name=None)")
        self.assertTrue(inspect.isroutine(Plugin.isdef))
        self.assertTrue(inspect.isroutine(p.isdef))

    def test_pickling(self):
        for proto in range(pickle.HIGHEST_PROTOCOL + 1):
            for name in NAMES:
                m = vars(Plugin)[name]
                if LEGACY_BUILD:
                    # The reduction gives the short name, which names nothing in the module.
                    with self.assertRaises(pickle.PicklingError):
                        pickle.dumps(m, proto)
                else:
                    self.assertIs(pickle.loads(pickle.dumps(m, proto)), m)
            if not LEGACY_BUILD:
                pair = pickle.loads(pickle.dumps([Plugin.isdef, Plugin.isdef], proto))
                self.assertIs(pair[0], Plugin.isdef)
                self.assertIs(pair[1], Plugin.isdef)

    def test_copy(self):
        for name in NAMES:
            m = vars(Plugin)[name]
            self.assertIs(copy.copy(m), m)
            self.assertIs(copy.deepcopy(m), m)
        table = copy.deepcopy({"f": [Plugin.exec_fun]})
        self.assertIs(table["f"][0], Plugin.exec_fun)

    def test_pydoc(self):
        import pydoc
        out = io.StringIO()
        pydoc.Helper(output=out).help(Plugin)
        text = out.getvalue()
        rendered = pydoc.render_doc(Plugin, renderer=pydoc.plaintext)
        for page in (text, rendered):
            for name, signature in SIGNATURES.items():
                self.assertIn(name + signature, page)
            for line in ("@name 实例化插件对像", "@param upgrade_force<bool> 是否强制重新获取列表",
                         "@param get_args<dict_obj> POST/GET参数对像", "@return func_object",
                         "@name 指定方法是否存在"):
                self.assertIn(line, page)
        page = pydoc.render_doc(Plugin.exec_fun, renderer=pydoc.plaintext)
        self.assertIn("exec_fun(self, get_args, def_name=None)", page)
        self.assertIn("@name 执行指定方法", page)
        self.assertEqual(inspect.getdoc(Plugin.isdef),
                         "@name 指定方法是否存在\n@author kvarn<2021-06-16>\n"
                         "@param def_name<string> 方法名称\n@return bool")

    def test_format_exception(self):
        try:
            Plugin("a").isdef()
        except TypeError as caught:
            exc = caught
        lines = traceback.format_exception(type(exc), exc, exc.__traceback__)
        self.assertIn('  File "%s", line 83, in addonGate.Plugin.isdef\n' % FILE_NAME, lines)
        self.assertEqual(lines[-1], "TypeError: isdef() takes exactly 2 positional arguments (1 given)\n")
        summary = traceback.extract_tb(exc.__traceback__)[-1]
        self.assertEqual((summary.filename, summary.lineno, summary.name),
                         (FILE_NAME, 83, "addonGate.Plugin.isdef"))

    def test_weakref(self):
        m = Plugin.isdef
        ref = weakref.ref(m)
        self.assertIs(ref(), m)
        self.assertIs(weakref.ref(m), ref)
        self.assertEqual(weakref.getweakrefcount(m), 1)
        seen = weakref.WeakKeyDictionary({m: 1})
        self.assertEqual(seen[Plugin.isdef], 1)
        p = Plugin("demo")
        method = weakref.WeakMethod(p.isdef)
        self.assertIs(method().__func__, m)
        self.assertIs(method().__self__, p)
        del p
        gc.collect()
        self.assertIsNone(method())
        self.assertIs(ref(), m)

    def test_gc_referents(self):
        m = Plugin.exec_fun
        refs = gc.get_referents(m)
        for target in (vars(addonGate), m.__code__, m.__defaults__, m.__module__):
            self.assertTrue(has(refs, target), target)
        made = (m.__dict__, m.__annotations__, m.__name__, m.__doc__)
        refs = gc.get_referents(m)
        for target in made:
            self.assertTrue(has(refs, target), target)

    def test_cprofile(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        path = os.path.join(folder, "stats")
        code = ("p = Plugin('demo')\n"
                "p.get_plugin_list()\n"
                "try:\n"
                "    p.isdef()\n"
                "except TypeError:\n"
                "    pass\n")
        env = {"Plugin": Plugin}
        cProfile.runctx(code, env, env, filename=path)
        stats = pstats.Stats(path)
        called = set(key[2] for key in stats.stats)
        self.assertIn("get_plugin_list", called)
        self.assertEqual(env["p"]._Plugin__plugin_name, "demo")
        self.assertEqual(sys.getprofile(), None)


if __name__ == "__main__":
    unittest.main()
