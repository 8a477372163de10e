"""What the module remembers between calls never outlives what it describes.

A host may clear the interpreter's type cache, rebind class attributes, make
and change classes and run interpreters one after another between calls;
each call must still read the objects as they are now.
"""
import gc
import json
import os
import shutil
import sys
import tempfile
import unittest
import weakref

import commons
import RunnerCore
import support
from addonGate import Plugin
from support import ModuleTestCase, run_python

# Up to 3.10 clearing the type cache restarts the interpreter's tag counter,
# so a changed class can be handed its old tag again; later ones never do.
TAGS_RESTART = sys.version_info < (3, 11)


class Freeable(dict):
    """A cache dict that can be watched for being freed."""


def retagged_after(cls, change):
    """Clears the type cache, applies `change`, then has `cls` take its old
    tag again where the interpreter allows: the state in which a lookup
    remembered under that tag would be served stale. Whether it did."""
    tag = support.version_tag(cls)
    support.clear_type_cache()
    change()
    return support.retag(cls, tag)


class RebindTest(ModuleTestCase):
    def setUp(self):
        super().setUp()

        class Sub(Plugin):
            pass
        self.Sub = Sub
        Sub._Plugin__obj_dict = Freeable({("a", "m"): "old"})
        self.p = Sub("a")
        self.assertEqual(self.p.get_fun("m"), "old")

    def rebind(self, keep_old):
        old = weakref.ref(self.Sub._Plugin__obj_dict)
        kept = old() if keep_old else None

        def change():
            self.Sub._Plugin__obj_dict = {("a", "m"): "new"}
            gc.collect()
        self.assertEqual(retagged_after(self.Sub, change), TAGS_RESTART)
        return old, kept

    def test_replaced_cache_read_after_the_host_dropped_the_old_one(self):
        old, _ = self.rebind(keep_old=False)
        self.assertEqual(self.p.get_fun("m"), "new")
        self.assertTrue(self.p.isdef("m"))
        gc.collect()
        self.assertIsNone(old())  # whatever the module held of it is released

    def test_replaced_cache_read_while_the_old_one_lives(self):
        _, kept = self.rebind(keep_old=True)
        self.assertEqual(self.p.get_fun("m"), "new")
        self.assertEqual(kept, {("a", "m"): "old"})

    def test_new_data_descriptor_on_the_request_class(self):
        # The runner's request object gets `plugin_get_object` from the module;
        # once its class has a property of that name, the setter must run.
        class Args(commons.dict_obj):
            pass
        seen = []
        commons.dict_obj, saved = Args, commons.dict_obj
        self.addCleanup(setattr, commons, "dict_obj", saved)
        self.p.get_fun("unknown")
        prop = property(lambda self: 0, lambda self, value: seen.append(value))
        retagged_after(Args, lambda: setattr(Args, "plugin_get_object", prop))
        self.p.get_fun("unknown")
        self.assertEqual(seen, [1])
        self.assertNotIn("plugin_get_object", vars(RunnerCore.calls[-1][3]))

    @unittest.skipUnless(hasattr(sys, "gettotalrefcount"), "needs a debug interpreter")
    def test_no_reference_drift(self):
        Sub, p = self.Sub, self.p

        def churn():
            Sub._Plugin__obj_dict = {("a", "m"): "x"}
            support.clear_type_cache()
            p.get_fun("m")
            p.isdef("m")
        self.assertEqual(support.leak_per_batch(churn, 100), 0)


SUBINTERPRETERS = r"""
import json, sys
sys.path[:0] = %r
from subinterp import run_in_subinterpreter
code = '''
import json, sys
sys.path[:0] = %%r
try:
    import addonGate
    out = ["ok", addonGate.Plugin("x")._Plugin__plugin_name]
except BaseException as exc:
    out = [type(exc).__name__, str(exc)]
with open(%%r, "a") as f:
    f.write(json.dumps(out) + "\\n")
''' %% (sys.path, %r)
print(run_in_subinterpreter(code) and run_in_subinterpreter(code))
"""


class InterpreterTest(unittest.TestCase):
    def test_a_later_subinterpreter_is_refused(self):
        # The first interpreter to import the module is a subinterpreter; the
        # next one may be given the ended one's memory, and still is another.
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        path = os.path.join(folder, "runs.json")
        paths = [p for p in sys.path if p]
        result = run_python(SUBINTERPRETERS % (paths, path))
        self.assertEqual(result.returncode, 0, result.stderr)
        if result.stdout.strip() != "True":
            self.skipTest("this interpreter has neither _testcapi nor _xxsubinterpreters")
        with open(path) as f:
            runs = [json.loads(line) for line in f]
        self.assertEqual(runs, [["ok", "x"], ["ImportError", "Interpreter change detected - this "
                                "module can only be loaded into one interpreter per process."]])


if __name__ == "__main__":
    unittest.main()
