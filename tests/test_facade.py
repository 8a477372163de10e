"""exec_fun, get_fun, isdef, get_plugin_list and __dir__ as the host sees them."""
import gc
import sys
import types
import unittest

import addonGate
import commons
import RunnerCore
from addonGate import Plugin
from support import FILE_NAME, ModuleTestCase, caught, module_entries

CACHE = Plugin._Plugin__obj_dict
LOAD, CRASH = "x加载失败y", "Traceback (most recent call last): ..."


class Raising(object):
    """Every hook the module may call raises LookupError."""
    def _raise(self, *args):
        raise LookupError("hook")
    __bool__ = __eq__ = __ne__ = __contains__ = _raise
    __hash__ = object.__hash__


class Msg(object):
    """A `msg` whose find answers from a table (or one value for every marker)."""
    def __init__(self, result):
        self.result = result

    def find(self, marker):
        return self.result[marker] if isinstance(self.result, dict) else self.result


class Equals(object):
    """Compares to anything as the given object."""
    def __init__(self, result):
        self.result = result

    def __eq__(self, other):
        return self.result
    __ne__ = __eq__


class Recording(dict):
    """A reply whose own __contains__/__getitem__ decide; dict storage stays empty."""
    def __init__(self, items, present=None):
        dict.__init__(self)
        self.items, self.present, self.reads = items, present, []

    def __contains__(self, key):
        return key in self.items if self.present is None else self.present

    def __getitem__(self, key):
        self.reads.append(key)
        return self.items[key]


class FacadeTestCase(ModuleTestCase):
    def assertFirstEntry(self, exc, name, line):
        self.assertEqual(module_entries(exc)[0], (FILE_NAME, "addonGate.Plugin." + name, line))

    def run_reply(self, reply, kind=None):
        RunnerCore.reply = reply
        if kind is None:
            return Plugin("a").exec_fun(commons.dict_obj(), "m")
        return caught(kind, Plugin("a").exec_fun, commons.dict_obj(), "m")


class ExecFunTest(FacadeTestCase):
    def test_method_name(self):
        args = commons.dict_obj(s="index")
        for given, used in [("run", "run"), (7, 7), ("", "index"), (None, "index"), (0, "index"), ([], "index")]:
            with self.subTest(given=given):
                RunnerCore.reset()
                Plugin("demo").exec_fun(args, given)
                self.assertEqual(RunnerCore.calls, [("plugin_run", "demo", used, args)])
        Plugin("demo").exec_fun(commons.dict_obj())
        Plugin("demo").exec_fun(types.SimpleNamespace(), "run")  # no `get`, none needed
        self.assertEqual([c[2] for c in RunnerCore.calls[1:]], ["", "run"])

    def test_request_failures(self):
        def get(key, default):
            raise KeyError(key)
        for args, kind in ((object(), AttributeError), (types.SimpleNamespace(get=get), KeyError)):
            self.assertFirstEntry(caught(kind, Plugin("a").exec_fun, args), "exec_fun", 57)
        self.assertFirstEntry(caught(LookupError, Plugin("a").exec_fun, args, Raising()), "exec_fun", 56)
        self.assertEqual(RunnerCore.calls, [])

    def test_replies(self):
        returned = ["text", [1], None, {}, {"status": False, "msg": " Traceback "},
                    {"status": False, "msg": "Traceback"}, {"status": False, "msg": "permission denied"},
                    {"status": False}, {"msg": LOAD}, {"status": None, "msg": LOAD}, {"status": True, "msg": LOAD},
                    {"status": 1, "msg": CRASH}, {"status": "", "msg": LOAD},
                    {"status": False, "msg": Msg({"加载失败": -1, "Traceback ": 1})},
                    Recording({"status": False, "msg": LOAD}, present=False)]
        for reply in returned:
            with self.subTest(reply=reply):
                self.assertIs(self.run_reply(reply), reply)
        raised = [{"status": False, "msg": LOAD}, {"status": 0, "msg": CRASH}, {"status": 0.0, "msg": "加载失败"},
                  {"status": False, "msg": Msg({"加载失败": -1.0, "Traceback ": 0.0})},
                  {"status": False, "msg": Msg(2)}]
        for reply in raised:
            with self.subTest(reply=reply):
                exc = self.run_reply(reply, commons.CorvelError)
                self.assertEqual(exc.args, (reply["msg"],))
                self.assertIs(exc.args[0], reply["msg"])
                self.assertEntry(exc, "addonGate.Plugin.exec_fun", 64)

    def test_dict_subclass_uses_own_lookup(self):
        for items, reads in (({"status": False, "msg": "Traceback x"}, ["status", "msg", "msg", "msg"]),
                             ({"status": False, "msg": "加载失败"}, ["status", "msg", "msg"])):
            with self.subTest(items=items):
                reply = Recording(items, present=True)
                self.run_reply(reply, commons.CorvelError)
                self.assertEqual(reply.reads, reads)
        reply = Recording({"status": True})
        dict.update(reply, {"status": False, "msg": "加载失败"})
        self.assertIs(self.run_reply(reply), reply)

    def test_hostile_replies(self):
        rows = [({"status": Raising()}, 61), ({"status": Equals(Raising())}, 61),
                ({"status": False, "msg": 5}, 63), ({"status": False, "msg": b"bytes"}, 63),
                ({"status": False, "msg": Msg(Raising())}, 63), ({"status": False, "msg": Msg(Equals(Raising()))}, 63),
                (Recording({"status": False}, present=True), 63)]
        for reply, line in rows:
            with self.subTest(reply=reply):
                self.assertFirstEntry(self.run_reply(reply, Exception), "exec_fun", line)


class LookupTest(FacadeTestCase):
    def test_get_fun_asks_runner_each_time(self):
        RunnerCore.reply = method = object()
        p = Plugin("a")
        self.assertEqual([p.get_fun("m"), p.get_fun("m")], [method, method])
        self.assertEqual([c[:3] for c in RunnerCore.calls], [("plugin_run", "a", "m")] * 2)
        first, second = RunnerCore.calls[0][3], RunnerCore.calls[1][3]
        self.assertIsNot(first, second)
        for args in (first, second):
            self.assertIs(type(args), commons.dict_obj)
            self.assertEqual(args.__dict__, {"plugin_get_object": 1})
            self.assertIs(type(args.plugin_get_object), int)
        self.assertEqual(CACHE, {})

    def test_isdef_fills_cache_per_plugin(self):
        for reply, answer in ((len, True), ([0], True), (None, False), (False, False), (0, False), ({}, False)):
            with self.subTest(reply=reply):
                RunnerCore.reset()
                CACHE.clear()
                RunnerCore.reply = reply
                self.assertIs(Plugin("a").isdef("m"), answer)
                self.assertIs(Plugin("a").isdef("m"), answer)
                self.assertIs(Plugin("a").get_fun("m"), reply)
                self.assertEqual(list(CACHE.items()), [(("a", "m"), reply)])
                RunnerCore.reply = "other"
                self.assertEqual(Plugin("b").get_fun("m"), "other")
                self.assertIs(Plugin("b").isdef("m"), True)
                self.assertEqual([c[1] for c in RunnerCore.calls], ["a", "b", "b"])
                self.assertIs(CACHE[("a", "m")], reply)

    def test_isdef_shortcuts_and_overrides(self):
        p = Plugin("a")
        p._Plugin__is_php = 1
        self.assertIs(p.isdef("anything"), True)
        self.assertEqual((RunnerCore.calls, CACHE), ([], {}))

        class Sub(Plugin):
            def get_fun(self, def_name):
                return "override-" + def_name
        self.assertIs(Sub("a").isdef("m"), True)
        self.assertEqual((RunnerCore.calls, CACHE), ([], {("a", "m"): "override-m"}))
        q = Plugin("q")
        q._Plugin__obj_dict = own = {}
        self.assertIs(q.isdef("m"), False)
        self.assertEqual((own, CACHE), ({("q", "m"): None}, {("a", "m"): "override-m"}))

    def test_attribute_reads_follow_the_class(self):
        reads = []

        class Named(Plugin):
            _Plugin__plugin_name = property(lambda self: "from-property",
                                            lambda self, value: None)

        class Watched(Plugin):
            def __getattribute__(self, name):
                reads.append(name)
                return object.__getattribute__(self, name)

        class Methodical(Plugin):
            def _Plugin__is_php(self):
                pass

        class ModuleKind(types.ModuleType):
            pass
        runner = ModuleKind("RunnerCore")
        runner.plugin_run = lambda *args: args[:2]
        Named("a").exec_fun(commons.dict_obj(), "m")
        self.assertEqual(RunnerCore.calls[-1][1:3], ("from-property", "m"))
        Watched("a").exec_fun(commons.dict_obj(), "m")
        Watched("a").get_fun("m")  # the cache is read before the plugin name
        self.assertEqual(reads, ["exec_fun", "_Plugin__plugin_name", "get_fun", "_Plugin__obj_dict",
                                 "_Plugin__plugin_name", "_Plugin__plugin_name"])
        self.assertIs(Methodical("a").isdef("m"), True)  # a bound method is true
        addonGate.RunnerCore = runner
        self.assertEqual(Plugin("a").exec_fun(commons.dict_obj(), "m"), ("a", "m"))

    def test_class_changes_are_seen_after_earlier_reads(self):
        class Sub(Plugin):
            pass
        saved = vars(Plugin)["_Plugin__is_php"]
        try:
            for cls in (Plugin, Sub):
                with self.subTest(cls=cls.__name__):
                    RunnerCore.reply = None
                    self.assertIs(cls("a").isdef("m"), False)
                    Plugin._Plugin__is_php = 1  # on the base, for Sub too
                    self.assertIs(cls("a").isdef("m"), True)
                    Plugin._Plugin__is_php = property(lambda self: 0)
                    self.assertIs(cls("a").isdef("m"), False)
                    Plugin._Plugin__is_php = saved
                    Sub._Plugin__is_php = True
                    self.assertIs(cls("a").isdef("m"), cls is Sub)
                    del Sub._Plugin__is_php
                    CACHE.clear()
        finally:
            Plugin._Plugin__is_php = saved

    def test_cached_key_hashed_at_each_lookup(self):
        hashed = []

        class Name(str):
            def __hash__(self):
                hashed.append(self)
                return str.__hash__(self)
        CACHE[("a", "m")] = method = object()
        del hashed[:]
        self.assertIs(Plugin("a").get_fun(Name("m")), method)
        # `key in keys`, then the item read; from 3.14 a tuple keeps its hash.
        self.assertEqual(hashed, ["m"] if sys.version_info >= (3, 14) else ["m", "m"])
        CACHE.clear()

    def test_instance_changes_are_seen_after_earlier_reads(self):
        class Flag(object):
            def __bool__(self):
                return False
        saved = vars(Plugin)["_Plugin__is_php"]
        p = Plugin("a")
        RunnerCore.reply = None
        try:
            self.assertIs(p.isdef("m"), False)
            p._Plugin__is_php = 1
            self.assertIs(p.isdef("m"), True)
            del p._Plugin__is_php
            self.assertIs(p.isdef("m"), False)
            Plugin._Plugin__is_php = Flag()
            self.assertIs(p.isdef("m"), False)
            Flag.__get__ = lambda self, obj, cls: 1  # the class value turns descriptor
            self.assertIs(p.isdef("m"), True)
        finally:
            Plugin._Plugin__is_php = saved
        # A key whose __eq__ runs at every lookup of the name it collides with
        # (more than once when the probe sequence comes back to it).
        compared = []

        class Key(object):
            def __hash__(self):
                return hash("_Plugin__is_php")

            def __eq__(self, other):
                compared.append(other)
                return False
        own = [r for r in gc.get_referents(p) if type(r) is dict]
        if own:  # interpreters where the instance's dict can be reached
            own[0][Key()] = 0
            getattr(p, "_Plugin__is_php")
            per_lookup = len(compared)
            p.isdef("m")
            p.isdef("m")
            self.assertEqual(compared, ["_Plugin__is_php"] * 3 * per_lookup)
        CACHE.clear()

    def test_name_stores_after_reads_are_seen(self):
        # Every way of storing the name reaches the next read, also for a
        # store the interpreter specialises in the loop, and for an instance
        # that never ran __init__.
        RunnerCore.reply = None
        for p in (Plugin("a"), Plugin.__new__(Plugin)):
            del RunnerCore.calls[:]
            p.exec_fun({}, "m")
            for i in range(60):
                p._Plugin__plugin_name = i
                p.exec_fun({}, "m")
                object.__setattr__(p, "_Plugin__plugin_name", -i)
                p.exec_fun({}, "m")
            p.__init__("z")
            p.exec_fun({}, "m")
            del p._Plugin__plugin_name
            p.exec_fun({}, "m")
            own = [r for r in gc.get_referents(p) if type(r) is dict]
            if own:  # interpreters where the instance's dict can be reached
                own[0]["_Plugin__plugin_name"] = "d"
                p.exec_fun({}, "m")
            names = [call[1] for call in RunnerCore.calls]
            self.assertEqual(names, [names[0]] + [v for i in range(60) for v in (i, -i)] +
                             ["z", None] + ["d"] * len(own))

    def test_failure_lines(self):
        class Vanished(object):
            def keys(self):
                return ["a", ("a", "m")]

            def __getitem__(self, key):
                raise KeyError(key)

        class Forgetful(dict):
            def __getitem__(self, key):
                raise KeyError(key)

        def runner_raises(*args):
            raise LookupError("runner")
        own = lambda value: lambda p: setattr(p, "_Plugin__obj_dict", value)
        rows = [("get_fun", own(5), AttributeError, 75),
                ("get_fun", own(types.SimpleNamespace(keys=Raising)), LookupError, 75),
                ("get_fun", own(Vanished()), KeyError, 76),
                ("get_fun", lambda p: delattr(commons, "dict_obj"), AttributeError, 77),
                ("get_fun", lambda p: setattr(commons, "dict_obj", object), AttributeError, 78),
                ("get_fun", lambda p: setattr(RunnerCore, "handler", runner_raises), LookupError, 80),
                ("get_fun", lambda p: setattr(addonGate, "RunnerCore", object()), AttributeError, 80),
                ("isdef", lambda p: setattr(p, "_Plugin__is_php", Raising()), LookupError, 90),
                ("isdef", lambda p: setattr(RunnerCore, "handler", runner_raises), LookupError, 91),
                ("isdef", own(types.MappingProxyType({})), TypeError, 91),
                ("isdef", own(Forgetful()), KeyError, 92),
                ("isdef", lambda p: setattr(RunnerCore, "reply", Raising()), LookupError, 92)]
        saved = commons.dict_obj
        for method, prepare, kind, line in rows:
            with self.subTest(method=method, line=line):
                p = Plugin("a")
                prepare(p)
                try:
                    exc = caught(kind, getattr(p, method), "m")
                finally:
                    commons.dict_obj = saved
                    RunnerCore.reset()
                    addonGate.RunnerCore = RunnerCore
                self.assertFirstEntry(exc, method, line)
                self.assertEqual(list(CACHE), [("a", "m")] if (line, kind) == (92, LookupError) else [])
                CACHE.clear()
        exc = caught(TypeError, Plugin(["x"]).isdef, "m")
        self.assertEqual(module_entries(exc), [(FILE_NAME, "addonGate.Plugin.isdef", 91),
                                               (FILE_NAME, "addonGate.Plugin.get_fun", 75)])


class ListAndDirTest(FacadeTestCase):
    def test_get_plugin_list(self):
        for args, force in [((), 0), ((True,), 1), (("yes",), 1), (([],), 0), ((None,), 0), ((2.5,), 1),
                            ((object(),), 1), ((0.0,), 0)]:
            with self.subTest(args=args):
                RunnerCore.reset()
                RunnerCore.plugin_list = listing = object()
                self.assertIs(Plugin(False).get_plugin_list(*args), listing)
                self.assertEqual(RunnerCore.calls, [("get_plugin_list", force)])
                self.assertIs(type(RunnerCore.calls[0][1]), int)
        self.assertFirstEntry(caught(LookupError, Plugin("a").get_plugin_list, Raising()), "get_plugin_list", 44)
        RunnerCore.handler = lambda force: 1 / 0
        self.assertFirstEntry(caught(ZeroDivisionError, Plugin("a").get_plugin_list), "get_plugin_list", 45)

    def test_dir(self):
        p = Plugin("a")
        self.assertEqual((p.__dir__(), type(p.__dir__()), dir(p)), ("", str, []))


class ReferenceTest(FacadeTestCase):
    def test_main_paths(self):
        total = getattr(sys, "gettotalrefcount", lambda: 0)  # debug builds count every reference
        reply, args, name, listing = {"status": True}, commons.dict_obj(), "".join(["me", "thod"]), object()
        failure = {"status": False, "msg": "".join(["加载", "失败"])}
        p = Plugin("".join(["plu", "gin"]))

        def run(r, fn, *a):
            RunnerCore.reply = r
            try:
                fn(*a)
            except Exception:
                pass
            RunnerCore.reset()  # the stubs record their calls
            commons.reset()
        rows = [((reply, args, name), lambda: run(reply, p.exec_fun, args, name)),
                ((name,), lambda: run(reply, p.exec_fun, commons.dict_obj(s=name))),
                ((failure, failure["msg"], args), lambda: run(failure, p.exec_fun, args, name)),
                ((reply,), lambda: run(reply, p.get_fun, "fresh")),
                ((name, reply), lambda: run(reply, p.isdef, name)),
                ((name, reply), lambda: run(reply, p.get_fun, name)),
                ((p, name), lambda: run(reply, p.isdef, name, "y")),
                ((args,), lambda: run(Raising(), p.isdef, args)),
                ((args, name), lambda: run(reply, p.exec_fun, args, name, "extra")),
                ((listing,), lambda: run(None, p.get_plugin_list, listing)),
                ((p,), lambda: run(None, p.__dir__))]
        for objects, call in rows:
            with self.subTest(objects=objects):
                call()
                gc.collect()
                before, before_total = [sys.getrefcount(o) for o in objects], total()
                for _ in range(200):
                    call()
                gc.collect()
                self.assertEqual([sys.getrefcount(o) for o in objects], before)
                self.assertLess(total() - before_total, 100)


if __name__ == "__main__":
    unittest.main()
