"""What the module remembers between calls never outlives what it describes.

A host may clear the interpreter's type cache, rebind class attributes, make
and change classes and run interpreters one after another between calls;
each call must still read the objects as they are now. A lookup may also
run code of the host's (a key's `__eq__`) that changes or frees what the
lookup started from, and what a call read must not be kept alive after it.
"""
import gc
import json
import os
import shutil
import sys
import tempfile
import unittest
import weakref

import addonGate
import commons
import RunnerCore
import support
from addonGate import Plugin
from support import ModuleTestCase, child_json, run_python

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


class Colliding(str):
    """A dict key with the hash of `name`: finding `name` in a dict that holds
    it compares the two. Armed with a function, its next comparison calls
    it; it never equals anything."""

    def __new__(cls, name):
        self = str.__new__(cls, "colliding " + name)
        self.name, self.armed = name, []
        return self

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.armed:
            self.armed.pop()()
        return False


made = []


def replace_dict(obj, name, bait):
    """Gives `obj` a copy of its instance dict (the attributes stay, the old
    dict is freed), then makes dicts mapping `name` to `bait`, one of which
    may take the freed memory: a read of the old dict may then find `bait`."""
    obj.__dict__ = dict(obj.__dict__)
    for _ in range(8):
        made.append({name: bait})


# Each case's key sits in a fresh class, which the type cache cannot answer
# for yet, so the class-level lookup compares it; the real attribute is in
# the instance dict or a base class. What the child prints last is what
# interpreted code gives.
FREED_DICT_CASES = {
    "runner attribute in the instance dict": ("""
key = Colliding("plugin_run")
r = type("Runner", (Exception,), {key: None})()  # a plain instance dict everywhere
r.__dict__ = {"plugin_run": lambda *args: ["ran"] + list(args[:2])}
key.armed.append(lambda: replace_dict(r, "plugin_run", lambda *args: "bait"))
addonGate.RunnerCore = r
print(json.dumps(addonGate.Plugin("demo").exec_fun(commons.dict_obj(), "index")))
""", ["ran", "demo", "index"]),
    "request method in the base class": ("""
key = Colliding("get")
args = type("Args", (commons.dict_obj,), {key: None})(s="index")
key.armed.append(lambda: replace_dict(args, "get", lambda *args: "bait"))
addonGate.Plugin("demo").exec_fun(args)
print(json.dumps(RunnerCore.calls[-1][2]))
""", "index"),
    "reply message method in the base class": ("""
seen = []
class Text(Exception):
    def find(self, sub):
        seen.append(sub)
        return -1
key = Colliding("find")
msg = type("Msg", (Text,), {key: None})()
msg.__dict__ = {"note": 1}
key.armed.append(lambda: replace_dict(msg, "find", lambda sub: seen.append("bait") or -1))
RunnerCore.reply = res = {"status": False, "msg": msg}
print(json.dumps([addonGate.Plugin("demo").exec_fun(commons.dict_obj(), "index") is res, seen]))
""", [True, ["加载失败", "Traceback "]]),
}


class CollidingKeyTest(ModuleTestCase):
    """Lookups that compare a host key on the way, which may change or free
    what the lookup started from."""

    def setUp(self):
        super().setUp()
        self.addCleanup(support.reset)

    def test_instance_dict_freed_during_the_class_lookup(self):
        # In children: a faulty lookup reads the freed dict, and can crash.
        for case, (code, expected) in FREED_DICT_CASES.items():
            with self.subTest(case):
                self.assertEqual(child_json(self, """
import json
import addonGate, commons, RunnerCore
from test_changed_state import Colliding, replace_dict
""" + code), expected)

    def test_class_freed_during_the_instance_dict_lookup(self):
        # In the suite's process, so that its memcheck and sanitizer runs see
        # any read of the freed class. Only young objects are collected then
        # (older ones of the interpreter's give memcheck reports of their own
        # on some versions), so no automatic collection may age the class.
        if gc.isenabled():
            gc.disable()
            self.addCleanup(gc.enable)

        class Replaced(Exception):
            pass

        def freeing(obj):
            obj.__class__ = Replaced  # the old class: referred to by obj alone
            gc.collect(0)

        def runner():
            key = Colliding("plugin_run")
            r = type("Gone", (Exception,), {})()
            r.__dict__ = {key: None, "plugin_run": lambda *args: ["ran"] + list(args[:2])}
            key.armed.append(lambda: freeing(r))
            return r, weakref.ref(type(r))
        r, gone = runner()
        addonGate.RunnerCore = r
        self.assertEqual(Plugin("demo").exec_fun(commons.dict_obj(), "index"),
                         ["ran", "demo", "index"])
        self.assertIsNone(gone())  # the case did free the class
        self.assertIs(type(r), Replaced)

    @unittest.skipUnless(hasattr(sys, "gettotalrefcount"), "needs a debug interpreter")
    def test_no_reference_drift(self):
        # Unarmed colliding keys in every class and dict read, the type cache
        # cleared so that each call compares them again.
        def find(self, sub):
            return -1
        msg = type("Msg", (Exception,), {Colliding("find"): None, "find": find})()
        msg.__dict__ = {Colliding("find"): None}
        r = type("Runner", (Exception,), {Colliding("plugin_run"): None})()
        r.__dict__ = {Colliding("plugin_run"): None,
                      "plugin_run": lambda *args: {"status": False, "msg": msg}}
        args = type("Args", (commons.dict_obj,), {Colliding("get"): None})(s="index")
        addonGate.RunnerCore = r
        p = Plugin("demo")

        def call():
            support.clear_type_cache()
            p.exec_fun(args)
        self.assertEqual(support.leak_per_batch(call, 100), 0)


FINALISED_BY_EXIT = r"""
import os
import addonGate, commons, RunnerCore

class Noted(object):
    def __init__(self, text):
        self.text = text

    def __del__(self, write=os.write):  # os may be gone from the globals
        write(1, self.text.encode() + b"\n")

class Runner(Noted):
    def get_plugin_list(self, force):
        return "listed"

runner = Runner("runner finalised")
addonGate.RunnerCore = runner
print(addonGate.Plugin("x").get_plugin_list(), flush=True)
addonGate.RunnerCore = RunnerCore
del runner

# Last: the reads of a later call could take the place of this one's.
name = Noted("plugin name finalised")
p = addonGate.Plugin(name)
p.get_fun("m")
RunnerCore.reset()
del p, name
print("end", flush=True)
"""


class ReleaseTest(ModuleTestCase):
    """What a call read is released with its owner, at interpreter exit at
    the latest."""

    def test_plugin_name_and_subclass_of_dropped_plugins(self):
        class Name(str):
            pass

        class Sub(Plugin):
            pass
        Sub._Plugin__obj_dict = {("a", "m"): Sub}  # refers back to the class
        name = Name("demo")
        for p in Sub("a"), Plugin(name):
            p.get_fun("m")
            p.exec_fun(commons.dict_obj(), "m")
            p.isdef("m")
        gone = [weakref.ref(name), weakref.ref(Sub)]
        del p, name, Sub
        support.reset()  # the stand-ins and Plugin's own cache hold the name
        gc.collect()
        self.assertEqual([ref() for ref in gone], [None, None])

    def test_finalisers_run_by_interpreter_exit(self):
        result = run_python(FINALISED_BY_EXIT)
        self.assertEqual(result.returncode, 0, support.child_ending(result))
        # The rebound-away runner goes at once, as in interpreted code, or at
        # exit where the module remembers its global reads.
        lines = result.stdout.splitlines()
        self.assertIn(lines, [["listed", "runner finalised", "plugin name finalised", "end"],
                              ["listed", "plugin name finalised", "end", "runner finalised"]])


NO_DICT_WATCHER_FREE = r"""
import json
import _testcapi
try:
    for _ in range(64):
        _testcapi.add_dict_watcher(0)
except RuntimeError:  # no more dict watcher IDs available
    pass
import addonGate, commons, RunnerCore

p = addonGate.Plugin("demo")
RunnerCore.reply = "first"
seen = [p.exec_fun(commons.dict_obj(), "m"), p.get_plugin_list()]
RunnerCore.plugin_run = lambda *args: "rebound function"
RunnerCore.get_plugin_list = lambda force: "rebound list"
seen += [p.exec_fun(commons.dict_obj(), "m"), p.get_plugin_list()]

class Runner(object):
    plugin_run = staticmethod(lambda *args: "rebound global")
addonGate.RunnerCore = Runner
seen.append(p.exec_fun(commons.dict_obj(), "m"))
print(json.dumps(seen))
"""


class DictWatcherTest(unittest.TestCase):
    def test_no_dict_watcher_left_for_the_module(self):
        # Another extension may have taken every dict watcher ID.
        try:
            from _testcapi import add_dict_watcher  # noqa: F401
        except ImportError:
            self.skipTest("this interpreter has no _testcapi with dict watchers")
        self.assertEqual(child_json(self, NO_DICT_WATCHER_FREE), [
            "first", {"demo": {"title": "demo"}}, "rebound function", "rebound list",
            "rebound global"])


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
