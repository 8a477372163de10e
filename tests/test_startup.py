"""Importing the module: its namespace, re-imports, failures and refusals.

Cases that need an interpreter of their own run in a child process; each
child prints one JSON object as its last line.
"""
import builtins
import importlib
import importlib.util
import json
import os
import shutil
import sys
import tempfile
import unittest

import commons
import RunnerCore
import addonGate
from addonGate import Plugin
from support import FILE_NAME, HERE, LEGACY_BUILD, ModuleTestCase, run_python

MODULE_DIR = os.path.dirname(os.path.abspath(addonGate.__file__))
STUBS = os.path.join(HERE, "stubs")
MESSAGE = "参数错误,plugin_name少需要一个有效参数"
IMPORT_ENTRIES = {"__name__", "__doc__", "__loader__", "__file__", "__package__", "__spec__"}

CHILD = r'''
import importlib, json, sys
out = {}

def entries(exc):
    found = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        found.append([code.co_filename, code.co_name, tb.tb_lineno])
        tb = tb.tb_next
    return found

def attempt():
    importlib.invalidate_caches()
    try:
        import addonGate
    except BaseException as exc:
        sys.modules.pop("addonGate", None)
        return {"ok": False, "type": type(exc).__name__, "text": str(exc),
                "name": getattr(exc, "name", None), "entries": entries(exc),
                "runner": "RunnerCore" in sys.modules}
    return {"ok": True}
'''


def variant(name):
    """Folder of a test-only build of the module, or None."""
    build, tag = os.environ.get("ADDONGATE_BUILD_DIR"), os.environ.get("ADDONGATE_TAG")
    if not build or not tag:
        return None
    folder = os.path.join(build, tag + "-variants", name)
    if os.path.isdir(folder) and any(f.startswith("addonGate") for f in os.listdir(folder)):
        return folder
    return None


def init_entries(result):
    return [e for e in result["entries"] if e[1] == "init addonGate"]


class NamespaceTest(ModuleTestCase):
    def test_namespace(self):
        ns = vars(addonGate)
        self.assertEqual(set(ns) - IMPORT_ENTRIES,
                         {"__builtins__", "commons", "RunnerCore", "Plugin", "__test__"})
        self.assertIs(ns["__builtins__"], builtins)
        self.assertIs(ns["commons"], sys.modules["commons"])
        self.assertIs(ns["RunnerCore"], sys.modules["RunnerCore"])
        self.assertIs(ns["__test__"], addonGate.__test__)
        self.assertEqual(ns["__test__"], {})
        self.assertIs(type(ns["__test__"]), dict)
        self.assertIsNone(addonGate.__doc__)
        self.assertEqual(addonGate.__name__, "addonGate")
        self.assertEqual(addonGate.__spec__.name, "addonGate")

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
        self.assertIs(addonGate.commons, commons)
        self.assertIs(addonGate.RunnerCore, RunnerCore)

    def test_value_error_captured_at_start(self):
        class Other(Exception):
            pass

        saved = builtins.ValueError
        builtins.ValueError = Other
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

    def folder_with(self, *files):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        for name, text in files:
            with open(os.path.join(folder, name), "w") as f:
                f.write(text)
        return folder

    def assertFailure(self, result, kind, text, line):
        self.assertFalse(result["ok"], result)
        self.assertEqual((result["type"], result["text"]), (kind, text))
        self.assertEqual(init_entries(result), [[FILE_NAME, "init addonGate", line]])

    def test_missing_host_modules(self):
        with open(os.path.join(STUBS, "commons.py")) as f:
            only_commons = self.folder_with(("commons.py", f.read()))
        out = self.child(
            "out['commons'] = attempt()\n"
            "sys.path.append(%r)\n"
            "out['runner'] = attempt()\n"
            "out['had_commons'] = 'commons' in sys.modules\n"
            "sys.path.append(%r)\n"
            "out['third'] = attempt()\n"
            "import addonGate, commons, RunnerCore\n"
            "out['bound'] = addonGate.commons is commons and addonGate.RunnerCore is RunnerCore\n"
            % (only_commons, STUBS),
            PYTHONPATH=MODULE_DIR)
        first = out["commons"]
        self.assertFailure(first, "ModuleNotFoundError", "No module named 'commons'", 15)
        self.assertEqual(first["name"], "commons")
        self.assertFalse(first["runner"])
        self.assertFailure(out["runner"], "ModuleNotFoundError", "No module named 'RunnerCore'", 16)
        self.assertEqual(out["runner"]["name"], "RunnerCore")
        self.assertTrue(out["had_commons"])
        self.assertEqual(out["third"], {"ok": True})
        self.assertTrue(out["bound"])

    def test_commons_raising_then_fixed(self):
        broken = self.folder_with(("commons.py",
                                   "import builtins, sys\n"
                                   "builtins.half_made = sys.modules.get('addonGate')\n"
                                   "raise LookupError('commons broke')\n"))
        out = self.child(
            "out['first'] = attempt()\n"
            "sys.path.remove(%r)\n"
            "sys.modules.pop('commons', None)\n"
            "out['second'] = attempt()\n"
            "import addonGate, builtins\n"
            "out['new'] = builtins.half_made is not None and addonGate is not builtins.half_made\n"
            "out['stub'] = addonGate.commons.__file__.startswith(%r)\n"
            "out['works'] = addonGate.Plugin('x')._Plugin__plugin_name\n" % (broken, STUBS),
            PYTHONPATH=os.pathsep.join([broken, MODULE_DIR, STUBS]))
        first = out["first"]
        self.assertFailure(first, "LookupError", "commons broke", 15)
        self.assertFalse(first["runner"])
        # The module's entry comes before the frames of the failing module.
        files = [e[0] for e in first["entries"]]
        self.assertLess(files.index(FILE_NAME), [f.endswith("commons.py") for f in files].index(True))
        self.assertEqual(out["second"], {"ok": True})
        self.assertTrue(out["new"])
        self.assertTrue(out["stub"])
        self.assertEqual(out["works"], "x")

    def test_builtins_changed_before_import(self):
        out = self.child(
            "import builtins\n"
            "seen = []\n"
            "original = builtins.__import__\n"
            "def spy(name, *args, **kwargs):\n"
            "    seen.append(name)\n"
            "    return original(name, *args, **kwargs)\n"
            "builtins.__import__ = spy\n"
            "saved = builtins.ValueError\n"
            "del builtins.ValueError\n"
            "out['first'] = attempt()\n"
            "builtins.ValueError = saved\n"
            "out['second'] = attempt()\n"
            "builtins.__import__ = original\n"
            "out['seen'] = sorted(set(seen))\n"
            "out['loaded'] = 'commons' in sys.modules and 'RunnerCore' in sys.modules\n"
            "import addonGate\n"
            "try:\n"
            "    addonGate.Plugin('')\n"
            "except BaseException as exc:\n"
            "    out['ctor'] = [type(exc) is saved, exc.args[0]]\n")
        self.assertFailure(out["first"], "NameError", "name 'ValueError' is not defined",
                           34 if LEGACY_BUILD else 1)
        self.assertEqual(out["second"], {"ok": True})
        self.assertIn("addonGate", out["seen"])
        self.assertNotIn("commons", out["seen"])
        self.assertNotIn("RunnerCore", out["seen"])
        self.assertTrue(out["loaded"])
        self.assertEqual(out["ctor"], [True, MESSAGE])

    def test_no_warning_and_subinterpreter_refused(self):
        folder = self.folder_with()
        path = os.path.join(folder, "result.json")
        out = self.child(
            "import warnings\n"
            "with warnings.catch_warnings(record=True) as caught:\n"
            "    warnings.simplefilter('always')\n"
            "    out['import'] = attempt()\n"
            "out['warnings'] = [str(w.message) for w in caught]\n"
            "try:\n"
            "    import _testcapi\n"
            "except ImportError:\n"
            "    _testcapi = None\n"
            "if _testcapi is not None:\n"
            "    code = ('import sys, json\\n'\n"
            "            'sys.path[:0] = %%r\\n'\n"
            "            'try:\\n'\n"
            "            '    import addonGate\\n'\n"
            "            '    got = [\"ok\"]\\n'\n"
            "            'except BaseException as exc:\\n'\n"
            "            '    got = [type(exc).__name__, str(exc)]\\n'\n"
            "            'with open(%%r, \"w\") as f:\\n'\n"
            "            '    json.dump(got, f)\\n') %% (sys.path, %r)\n"
            "    out['rc'] = _testcapi.run_in_subinterp(code)\n"
            "    with open(%r) as f:\n"
            "        out['sub'] = json.load(f)\n"
            "    import addonGate\n"
            "    out['after'] = addonGate.Plugin('x')._Plugin__plugin_name\n" % (path, path))
        self.assertEqual(out["import"], {"ok": True})
        self.assertEqual(out["warnings"], [])
        if "sub" not in out:
            self.skipTest("no _testcapi on this interpreter")
        self.assertEqual(out["sub"], ["ImportError", "Interpreter change detected - this module "
                                      "can only be loaded into one interpreter per process."])
        self.assertEqual(out["after"], "x")

    def check_version_warning(self, name, expected):
        folder = variant(name)
        if folder is None:
            self.skipTest("no %s build" % name)
        path = os.pathsep.join([folder, STUBS])
        out = self.child(
            "import warnings\n"
            "with warnings.catch_warnings(record=True) as caught:\n"
            "    warnings.simplefilter('always')\n"
            "    out['import'] = attempt()\n"
            "out['warnings'] = [[w.category.__name__, str(w.message)] for w in caught]\n",
            PYTHONPATH=path)
        self.assertEqual(out["import"], {"ok": True})
        self.assertEqual(out["warnings"], [["RuntimeWarning", expected]])

        out = self.child(
            "out['strict'] = attempt()\n"
            "import warnings\n"
            "warnings.simplefilter('ignore')\n"
            "out['relaxed'] = attempt()\n",
            "-W", "error", PYTHONPATH=path)
        strict = out["strict"]
        self.assertFalse(strict["ok"])
        self.assertEqual((strict["type"], strict["text"]), ("RuntimeWarning", expected))
        self.assertEqual(init_entries(strict), [])
        self.assertFalse(strict["runner"])
        self.assertEqual(out["relaxed"], {"ok": True})

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
