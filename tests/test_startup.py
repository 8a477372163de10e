"""Importing the module. Children print one JSON object as their last line."""
import builtins
import importlib
import importlib.util
import json
import os
import shutil
import sys
import tempfile
import unittest

import addonGate
from addonGate import Plugin
from support import FILE_NAME, HERE, LEGACY_BUILD, ModuleTestCase, run_python

MODULE_DIR = os.path.dirname(os.path.abspath(addonGate.__file__))
STUBS = os.path.join(HERE, "stubs")
MESSAGE = "参数错误,plugin_name少需要一个有效参数"
IMPORT_ENTRIES = {"__name__", "__doc__", "__loader__", "__file__", "__package__", "__spec__"}

CHILD = '''
import importlib, importlib.machinery, json, sys, warnings
importlib.invalidate_caches()  # loads what it needs now, before a test changes builtins
# Asks the path hooks about every entry up to the module's folder now (an
# installed module's comes after entries that do not exist); attempt(False)
# keeps their answers, so that only the module's start-up runs in it.
importlib.machinery.PathFinder.find_spec("addonGate")
out = {}

def attempt(fresh=True):
    if fresh:
        importlib.invalidate_caches()
    try:
        import addonGate
    except BaseException as exc:
        found, tb = [], exc.__traceback__
        while tb is not None:
            code = tb.tb_frame.f_code
            found.append([code.co_filename, code.co_name, tb.tb_lineno])
            tb = tb.tb_next
        return {"ok": False, "type": type(exc).__name__, "text": str(exc),
                "name": getattr(exc, "name", None), "entries": found,
                "runner": "RunnerCore" in sys.modules}
    return {"ok": True}
'''

SUBINTERPRETER = '''
import json, sys
sys.path[:0] = %r
try:
    import addonGate
    got = ["ok"]
except BaseException as exc:
    got = [type(exc).__name__, str(exc)]
with open(%r, "w") as f:
    json.dump(got, f)
'''


def variant(name):
    """Folder of a test-only build of the module, or None."""
    build, tag = os.environ.get("ADDONGATE_BUILD_DIR"), os.environ.get("ADDONGATE_TAG")
    folder = os.path.join(build or "", "%s-variants" % tag, name)
    if build and tag and os.path.isdir(folder):
        if any(f.startswith("addonGate") for f in os.listdir(folder)):
            return folder
    return None


class NamespaceTest(ModuleTestCase):
    def test_namespace(self):
        ns = vars(addonGate)
        self.assertEqual(set(ns) - IMPORT_ENTRIES,
                         {"__builtins__", "commons", "RunnerCore", "Plugin", "__test__"})
        self.assertIs(ns["__builtins__"], builtins)
        self.assertIs(ns["commons"], sys.modules["commons"])
        self.assertIs(ns["RunnerCore"], sys.modules["RunnerCore"])
        self.assertIs(type(ns["__test__"]), dict)
        self.assertEqual(ns["__test__"], {})
        self.assertIsNone(addonGate.__doc__)
        self.assertEqual(addonGate.__name__, "addonGate")

    def test_same_module_after_reimport_and_reload(self):
        cache = Plugin._Plugin__obj_dict
        cache["kept"] = 1
        try:
            del sys.modules["addonGate"]
            again = importlib.import_module("addonGate")
        finally:
            sys.modules["addonGate"] = addonGate
        self.assertIs(again, addonGate)
        self.assertIs(importlib.reload(addonGate), addonGate)
        self.assertIs(importlib.util.module_from_spec(addonGate.__spec__), addonGate)
        self.assertIs(addonGate.Plugin, Plugin)
        self.assertIs(Plugin._Plugin__obj_dict, cache)
        self.assertEqual(cache, {"kept": 1})

    def test_value_error_captured_at_start(self):
        saved = builtins.ValueError
        builtins.ValueError = KeyError
        try:
            with self.assertRaises(saved) as cm:
                Plugin("")
        finally:
            builtins.ValueError = saved
        self.assertIs(type(cm.exception), saved)
        self.assertEqual(cm.exception.args, (MESSAGE,))


class ChildImportTest(unittest.TestCase):
    def child(self, body, *options, **env):
        result = run_python(CHILD + body + "\nprint(json.dumps(out))\n", *options, **env)
        self.assertEqual(result.returncode, 0, result.stderr)
        return json.loads(result.stdout.strip().splitlines()[-1])

    def folder_with(self, name=None, text=""):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        if name:
            with open(os.path.join(folder, name), "w") as f:
                f.write(text)
        return folder

    def assertFailure(self, result, kind, text, line):
        self.assertFalse(result["ok"], result)
        self.assertEqual((result["type"], result["text"]), (kind, text))
        self.assertEqual([e for e in result["entries"] if e[1] == "init addonGate"],
                         [[FILE_NAME, "init addonGate", line]])

    def test_missing_host_modules(self):
        with open(os.path.join(STUBS, "commons.py")) as f:
            only_commons = self.folder_with("commons.py", f.read())
        out = self.child('''
out["commons"] = attempt()
sys.path.append(%r)
out["runner"] = attempt()
out["had_commons"] = "commons" in sys.modules
sys.path.append(%r)
out["third"] = attempt()
import addonGate, commons, RunnerCore
out["bound"] = addonGate.commons is commons and addonGate.RunnerCore is RunnerCore
''' % (only_commons, STUBS), PYTHONPATH=MODULE_DIR)
        self.assertFailure(out["commons"], "ModuleNotFoundError", "No module named 'commons'", 15)
        self.assertEqual(out["commons"]["name"], "commons")
        self.assertFalse(out["commons"]["runner"])
        self.assertFailure(out["runner"], "ModuleNotFoundError", "No module named 'RunnerCore'", 16)
        self.assertTrue(out["had_commons"])
        self.assertEqual(out["third"], {"ok": True})
        self.assertTrue(out["bound"])

    def test_commons_raising_then_fixed(self):
        broken = self.folder_with("commons.py", "import builtins, sys\n"
                                  "builtins.half_made = sys.modules.get('addonGate')\n"
                                  "raise LookupError('commons broke')\n")
        out = self.child('''
out["first"] = attempt()
sys.path.remove(%r)
sys.modules.pop("commons", None)
out["second"] = attempt()
import addonGate, builtins
out["new"] = builtins.half_made is not None and addonGate is not builtins.half_made
out["stub"] = addonGate.commons.__file__.startswith(%r)
out["works"] = addonGate.Plugin("x")._Plugin__plugin_name
''' % (broken, STUBS), PYTHONPATH=os.pathsep.join([broken, MODULE_DIR, STUBS]))
        first = out["first"]
        self.assertFailure(first, "LookupError", "commons broke", 15)
        self.assertFalse(first["runner"])
        # The module's entry comes before the frames of the failing module.
        files = [e[0] for e in first["entries"]]
        self.assertLess(files.index(FILE_NAME), [f.endswith("commons.py") for f in files].index(True))
        self.assertEqual(out["second"], {"ok": True})
        self.assertEqual((out["new"], out["stub"], out["works"]), (True, True, "x"))

    def test_builtins_changed_before_import(self):
        out = self.child('''
import builtins
seen, original, saved = [], builtins.__import__, builtins.ValueError
def spy(name, *args, **kwargs):
    seen.append(name)
    return original(name, *args, **kwargs)
builtins.__import__ = spy
del builtins.ValueError
out["first"] = attempt(False)
builtins.ValueError = saved
out["second"] = attempt()
builtins.__import__ = original
out["seen"] = sorted(set(seen))
out["loaded"] = "commons" in sys.modules and "RunnerCore" in sys.modules
import addonGate
try:
    addonGate.Plugin("")
except BaseException as exc:
    out["ctor"] = [type(exc) is saved, exc.args[0]]
''')
        self.assertFailure(out["first"], "NameError", "name 'ValueError' is not defined",
                           34 if LEGACY_BUILD else 1)
        self.assertEqual(out["second"], {"ok": True})
        self.assertIn("addonGate", out["seen"])
        self.assertNotIn("commons", out["seen"])
        self.assertNotIn("RunnerCore", out["seen"])
        self.assertTrue(out["loaded"])
        self.assertEqual(out["ctor"], [True, MESSAGE])

    def test_no_warning_and_subinterpreter_refused(self):
        path = os.path.join(self.folder_with(), "result.json")
        out = self.child('''
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    out["import"] = attempt()
out["warnings"] = [str(w.message) for w in caught]
from subinterp import run_in_subinterpreter
if run_in_subinterpreter(%r %% (sys.path, %r)):
    with open(%r) as f:
        out["sub"] = json.load(f)
    import addonGate
    out["after"] = addonGate.Plugin("x")._Plugin__plugin_name
''' % (SUBINTERPRETER, path, path))
        self.assertEqual(out["import"], {"ok": True})
        self.assertEqual(out["warnings"], [])
        if "sub" not in out:
            self.skipTest("this interpreter has neither _testcapi nor _xxsubinterpreters")
        self.assertEqual(out["sub"], ["ImportError", "Interpreter change detected - this module "
                                      "can only be loaded into one interpreter per process."])
        self.assertEqual(out["after"], "x")

    def check_version_warning(self, name, expected):
        folder = variant(name)
        if folder is None:
            self.skipTest("no %s build" % name)
        out = self.child('''
out["strict"] = attempt()
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    out["relaxed"] = attempt()
out["warnings"] = [[w.category.__name__, str(w.message)] for w in caught]
''', "-W", "error", PYTHONPATH=os.pathsep.join([folder, STUBS]))
        strict = out["strict"]
        self.assertFalse(strict["ok"])
        self.assertEqual((strict["type"], strict["text"]), ("RuntimeWarning", expected))
        self.assertNotIn("init addonGate", [e[1] for e in strict["entries"]])
        self.assertFalse(strict["runner"])
        self.assertEqual(out["relaxed"], {"ok": True})
        self.assertEqual(out["warnings"], [["RuntimeWarning", expected]])

    def test_version_warning(self):
        major, minor = sys.version_info[:2]
        self.check_version_warning(
            "wrongver", "compiletime version %d.%d of module 'addonGate' does not match "
                        "runtime version %d.%d" % (major, minor + 1, major, minor))

    def test_legacy_version_rule_on_310(self):
        if sys.version_info[:2] != (3, 10):
            self.skipTest("the legacy variant is built for 3.10 only")
        self.check_version_warning(
            "legacy36", "compiletime version 3.6 of module 'addonGate' does not match "
                        "runtime version 3.1")


if __name__ == "__main__":
    unittest.main()
