"""The standard library's tools at work on Plugin and its methods."""
import ast
import copy
import cProfile
import gc
import inspect
import io
import os
import pickle
import pstats
import pydoc
import shutil
import tempfile
import unittest
import weakref

import addonGate
from addonGate import Plugin
from support import LEGACY_BUILD, ModuleTestCase

STUB = os.path.join(os.path.dirname(__file__), os.pardir, "class", "addonGate.pyi")

SIGNATURES = {
    "__init__": "(self, init_plugin_name=None)",
    "get_plugin_list": "(self, upgrade_force=False)",
    "exec_fun": "(self, get_args, def_name=None)",
    "get_fun": "(self, def_name)",
    "isdef": "(self, def_name)",
    "__dir__": "(self)",
}


class IntrospectionTest(ModuleTestCase):
    def test_signatures(self):
        for name, text in SIGNATURES.items():
            self.assertEqual(str(inspect.signature(vars(Plugin)[name])), text)
        p = Plugin("demo")
        self.assertEqual(str(inspect.signature(p.exec_fun)), "(get_args, def_name=None)")
        self.assertEqual(str(inspect.signature(p.isdef)), "(def_name)")
        self.assertEqual(str(inspect.signature(Plugin)), "(init_plugin_name=None)")

    def test_type_stub_agrees(self):
        # The stub's parameters, kinds and defaults are the built methods' own.
        with open(STUB, encoding="utf-8") as f:
            tree = ast.parse(f.read())
        cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Plugin")
        stubbed = {}
        for fn in cls.body:
            if isinstance(fn, ast.FunctionDef):
                args = fn.args
                self.assertEqual((args.vararg, args.kwarg, args.kwonlyargs), (None, None, []))
                self.assertIsNotNone(fn.returns, fn.name)
                defaults = [None] * (len(args.args) - len(args.defaults)) + args.defaults
                stubbed[fn.name] = "(%s)" % ", ".join(
                    a.arg if d is None else "%s=%r" % (a.arg, ast.literal_eval(d))
                    for a, d in zip(args.args, defaults))
        built = {name: str(inspect.signature(vars(Plugin)[name])) for name in SIGNATURES}
        self.assertEqual(stubbed, built)
        module_names = {t.id for n in tree.body if isinstance(n, ast.AnnAssign) for t in [n.target]}
        self.assertEqual(module_names, {"commons", "RunnerCore"})

    def test_pickle_and_copy(self):
        for name in SIGNATURES:
            m = vars(Plugin)[name]
            self.assertIs(copy.copy(m), m)
            self.assertIs(copy.deepcopy(m), m)
            for proto in range(pickle.HIGHEST_PROTOCOL + 1):
                if LEGACY_BUILD:
                    # The reduction gives the short name, which names nothing in the module.
                    self.assertRaises(pickle.PicklingError, pickle.dumps, m, proto)
                else:
                    pair = pickle.loads(pickle.dumps([m, m], proto))
                    self.assertIs(pair[0], m)
                    self.assertIs(pair[1], m)
        self.assertIs(copy.deepcopy({"f": [Plugin.exec_fun]})["f"][0], Plugin.exec_fun)

    def test_pydoc(self):
        out = io.StringIO()
        pydoc.Helper(output=out).help(Plugin)
        for page in (out.getvalue(), pydoc.render_doc(Plugin, renderer=pydoc.plaintext)):
            for name, signature in SIGNATURES.items():
                self.assertIn(name + signature, page)
            for line in ("@name 实例化插件对像", "@param upgrade_force<bool> 是否强制重新获取列表",
                         "@param get_args<dict_obj> POST/GET参数对像", "@return func_object"):
                self.assertIn(line, page)
        page = pydoc.render_doc(Plugin.isdef, renderer=pydoc.plaintext)
        self.assertIn("isdef(self, def_name)", page)
        self.assertEqual(inspect.getdoc(Plugin.isdef),
                         "@name 指定方法是否存在\n@author kvarn<2021-06-16>\n"
                         "@param def_name<string> 方法名称\n@return bool")

    def test_weakref(self):
        m = Plugin.isdef
        ref = weakref.ref(m)
        self.assertIs(ref(), m)
        self.assertIs(weakref.ref(m), ref)
        self.assertEqual(weakref.WeakKeyDictionary({m: 1})[Plugin.isdef], 1)
        p = Plugin("demo")
        method = weakref.WeakMethod(p.isdef)
        self.assertIs(method().__func__, m)
        del p
        gc.collect()
        self.assertIsNone(method())
        self.assertIs(ref(), m)

    def test_gc_referents(self):
        m = Plugin.exec_fun
        held = (vars(addonGate), m.__code__, m.__defaults__, m.__module__,
                m.__dict__, m.__annotations__, m.__name__, m.__doc__)
        refs = gc.get_referents(m)
        for target in held:
            self.assertTrue(any(r is target for r in refs), repr(target)[:60])

    def test_cprofile(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        path = os.path.join(folder, "stats")
        code = "p = Plugin('demo')\np.get_plugin_list()\ntry:\n    p.isdef()\nexcept TypeError:\n    pass\n"
        env = {"Plugin": Plugin}
        cProfile.runctx(code, env, env, filename=path)
        self.assertIn("get_plugin_list", set(key[2] for key in pstats.Stats(path).stats))
        self.assertEqual(env["p"]._Plugin__plugin_name, "demo")


if __name__ == "__main__":
    unittest.main()
