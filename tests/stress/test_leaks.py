"""Reference counts, memory growth and garbage collection of addonGate.

The reference-count checks need an interpreter built with reference
tracing (sys.gettotalrefcount); the rest run everywhere.
"""
import gc
import json
import os
import sys
import types
import unittest
import weakref

import addonGate
import commons
import RunnerCore
import support

Plugin = addonGate.Plugin
DEBUG = hasattr(sys, "gettotalrefcount")
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "") or os.environ.get("PYTHONMALLOC") == "malloc"
SOAK_CALLS = int(os.environ.get("ADDONGATE_SOAK_CALLS", "300000"))


class Boom(Exception):
    pass


class BadBool(object):
    def __bool__(self):
        raise Boom("bool")


class BadEq(object):
    def __eq__(self, other):
        raise Boom("eq")
    __hash__ = object.__hash__


class YesCache(dict):
    """Claims every key; reading one fails."""

    def keys(self):
        return _AllKeys()

    def __getitem__(self, key):
        raise Boom("getitem")


class _AllKeys(object):
    def __contains__(self, key):
        return True


def raising(*a):
    raise Boom("runner")


def attempt(f, *args, **kw):
    try:
        f(*args, **kw)
    except Exception:
        pass


def scenarios():
    """(label, setup, call): every method's success paths and failure lines."""
    p = Plugin("a")
    args = commons.dict_obj(s="m")
    custom = types.SimpleNamespace(CorvelError=lambda m: "x", dict_obj=object)
    odd = Plugin("a")
    odd._Plugin__obj_dict = YesCache()
    php = Plugin("a")
    php._Plugin__is_php = True
    badphp = Plugin("a")
    badphp._Plugin__is_php = BadBool()

    def reply(value):
        return lambda: setattr(RunnerCore, "reply", value)

    def handler(f):
        return lambda: setattr(RunnerCore, "handler", f)

    def without(name):
        return lambda: delattr(addonGate, name)

    def use_custom():
        addonGate.commons = custom
    fail = {"status": False, "msg": "x加载失败"}
    none = lambda: None
    return [
        ("__init__ ok", none, lambda: (Plugin("a"), Plugin(False), Plugin(init_plugin_name="a"))),
        ("__init__ 25", none, lambda: (attempt(Plugin, "a", "b"), attempt(Plugin, foo=1),
                                       attempt(Plugin, "a", init_plugin_name="b"),
                                       attempt(lambda: Plugin.__init__(p, **{1: 2})))),
        ("__init__ 33", none, lambda: attempt(Plugin, BadBool())),
        ("__init__ 34", none, lambda: (attempt(Plugin, ""), attempt(Plugin))),
        ("__init__ 35", none, lambda: attempt(Plugin.__init__, object(), "x")),
        ("get_plugin_list ok", none, lambda: (p.get_plugin_list(), p.get_plugin_list(upgrade_force=1))),
        ("get_plugin_list 37", none, lambda: (attempt(p.get_plugin_list, 1, 2), attempt(Plugin.get_plugin_list))),
        ("get_plugin_list 44", none, lambda: attempt(p.get_plugin_list, BadBool())),
        ("get_plugin_list 45 runner", handler(raising), lambda: attempt(p.get_plugin_list)),
        ("get_plugin_list 45 global", without("RunnerCore"), lambda: attempt(p.get_plugin_list)),
        ("exec_fun ok", reply({"status": True, "msg": "加载失败"}),
         lambda: (p.exec_fun(args, "m"), p.exec_fun(args), p.exec_fun(get_args=args, def_name=""))),
        ("exec_fun ok plain", reply("text"), lambda: p.exec_fun(args, "m")),
        ("exec_fun 48", none, lambda: (attempt(p.exec_fun), attempt(p.exec_fun, args, "m", def_name="n"),
                                       attempt(p.exec_fun, args, other=1))),
        ("exec_fun 56", none, lambda: attempt(p.exec_fun, args, BadBool())),
        ("exec_fun 57", none, lambda: attempt(p.exec_fun, object())),
        ("exec_fun 59", handler(raising), lambda: attempt(p.exec_fun, args, "m")),
        ("exec_fun 61", reply({"status": BadEq(), "msg": "x"}), lambda: attempt(p.exec_fun, args, "m")),
        ("exec_fun 63", reply({"status": False, "msg": 5}), lambda: attempt(p.exec_fun, args, "m")),
        ("exec_fun 64 raise", reply(fail), lambda: attempt(p.exec_fun, args, "m")),
        ("exec_fun 64 not an exception", lambda: (reply(fail)(), use_custom()), lambda: attempt(p.exec_fun, args, "m")),
        ("get_fun ok runner", reply(len), lambda: p.get_fun("m")),
        ("get_fun ok cache", lambda: (reply(len)(), p.isdef("m")), lambda: p.get_fun("m")),
        ("get_fun 68", none, lambda: (attempt(p.get_fun), attempt(p.get_fun, "m", x=1))),
        ("get_fun 75", none, lambda: attempt(p.get_fun, [1])),
        ("get_fun 76", none, lambda: attempt(odd.get_fun, "m")),
        ("get_fun 77", without("commons"), lambda: attempt(p.get_fun, "m")),
        ("get_fun 78", use_custom, lambda: attempt(p.get_fun, "m")),
        ("get_fun 80", handler(raising), lambda: attempt(p.get_fun, "m")),
        ("isdef ok", reply(len), lambda: (p.isdef("m"), p.isdef(def_name="n"), php.isdef("z"))),
        ("isdef ok false", reply(None), lambda: p.isdef("m")),
        ("isdef 83", none, lambda: (attempt(p.isdef), attempt(p.isdef, "m", other=1),
                                    attempt(lambda: Plugin.isdef(p, **{1: 2})))),
        ("isdef 90", none, lambda: attempt(badphp.isdef, "m")),
        ("isdef 91", handler(raising), lambda: attempt(p.isdef, "m")),
        ("isdef 92", reply(BadBool()), lambda: attempt(p.isdef, "q")),
        ("__dir__", none, lambda: (p.__dir__(), dir(p), attempt(p.__dir__, 1), attempt(p.__dir__, x=1))),
    ]


def clear_records():
    del RunnerCore.calls[:]
    del commons.made[:]


def rss_bytes():
    if sys.platform == "win32":  # no /proc: the working set, from the process's own counters
        import ctypes
        from ctypes import wintypes

        class Counters(ctypes.Structure):
            _fields_ = [("cb", wintypes.DWORD), ("PageFaultCount", wintypes.DWORD)] + [
                (name, ctypes.c_size_t) for name in (
                    "PeakWorkingSetSize", "WorkingSetSize", "QuotaPeakPagedPoolUsage",
                    "QuotaPagedPoolUsage", "QuotaPeakNonPagedPoolUsage", "QuotaNonPagedPoolUsage",
                    "PagefileUsage", "PeakPagefileUsage")]

        kernel32 = ctypes.WinDLL("kernel32")
        kernel32.GetCurrentProcess.restype = wintypes.HANDLE
        counters = Counters(cb=ctypes.sizeof(Counters))
        if not kernel32.K32GetProcessMemoryInfo(wintypes.HANDLE(kernel32.GetCurrentProcess()),
                                                ctypes.byref(counters), counters.cb):
            raise ctypes.WinError()
        return counters.WorkingSetSize
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@unittest.skipUnless(DEBUG, "needs a debug interpreter's sys.gettotalrefcount; release builds, "
                             "the Windows ones among them, have none")
class RefcountTest(support.ModuleTestCase):
    def test_every_path(self):
        deltas = {}
        for label, setup, call in scenarios():
            support.reset()
            setup()
            deltas[label] = support.leak_per_batch(lambda: (call(), clear_records()))
        support.reset()
        print("\nrefcount deltas per 200 calls: %s" % json.dumps(deltas, ensure_ascii=False, sort_keys=True))
        self.assertEqual(dict((k, v) for k, v in deltas.items() if v), {})


STARTUP = r"""
import builtins, gc, importlib, itertools, json, sys
block = {}

class Blocker(object):
    def find_spec(self, name, path=None, target=None):
        if name in block:
            raise block[name]("No module named %r" % name)
        return None

sys.meta_path.insert(0, Blocker())
total = getattr(sys, "gettotalrefcount", lambda: 0)
# 3.13+: the interpreter's own performance caches fill up during imports;
# what they hold is not the module's.
clear_caches = getattr(sys, "_clear_internal_caches", lambda: None)

def names(exc):
    out, tb = [], exc.__traceback__
    while tb is not None:
        out.append([tb.tb_frame.f_code.co_name, tb.tb_lineno])
        tb = tb.tb_next
    return out

def fail_import(mode):
    for name in ("addonGate", "commons", "RunnerCore"):
        sys.modules.pop(name, None)
    saved = builtins.ValueError
    if mode == "ValueError":
        del builtins.ValueError
    try:
        import addonGate
    except BaseException as e:
        return [type(e).__name__, names(e)]
    finally:
        builtins.ValueError = saved
    return ["imported", []]

def measure(fn, n):
    clear_caches(); gc.collect(); before = total()
    for _ in itertools.repeat(None, n):
        fn()
    clear_caches(); gc.collect()
    return total() - before

out = {}
for mode, setup in (("commons", {"commons": ModuleNotFoundError}), ("RunnerCore", {"RunnerCore": ModuleNotFoundError}),
                    ("commons raises", {"commons": RuntimeError}), ("ValueError", {})):
    block.clear(); block.update(setup)
    first = fail_import(mode)
    f = lambda: fail_import(mode)
    for _ in range(5):
        f()
    out[mode] = [first, measure(f, 40) - measure(f, 20)]
block.clear()
import addonGate
mod = addonGate
def again():
    del sys.modules["addonGate"]
    import addonGate
    assert addonGate is mod
    importlib.reload(addonGate)
for _ in range(5):
    again()
out["reimport"] = [[], measure(again, 40) - measure(again, 20)]
print(json.dumps(out))
"""


class StartupTest(unittest.TestCase):
    def test_failed_and_repeated_imports(self):
        res = support.run_python(STARTUP)
        self.assertEqual(res.returncode, 0, res.stderr)
        out = json.loads(res.stdout.strip().splitlines()[-1])
        print("\nstart-up refcount deltas per 20 imports: %s"
              % dict((k, v[1]) for k, v in out.items()))
        legacy = support.LEGACY_BUILD
        expected = {"commons": ("ModuleNotFoundError", 15), "RunnerCore": ("ModuleNotFoundError", 16),
                    "commons raises": ("RuntimeError", 15), "ValueError": ("NameError", 34 if legacy else 1)}
        for mode, (exc, line) in expected.items():
            got_exc, entries = out[mode][0]
            self.assertEqual(got_exc, exc, mode)
            self.assertIn(["init addonGate", line], entries, mode)
        if DEBUG:
            self.assertEqual(dict((k, v[1]) for k, v in out.items() if v[1]), {})


@unittest.skipIf(SANITIZED, "allocator replaced: resident size says nothing")
class SoakTest(support.ModuleTestCase):
    def test_memory_flat(self):
        calls = [c for _, s, c in scenarios() if s is not None]
        RunnerCore.reply = {"status": False, "msg": "Traceback boom"}
        p = Plugin("a")
        a = commons.dict_obj(s="m")
        mixed = [lambda: attempt(p.exec_fun, a), lambda: p.isdef("m"), lambda: p.get_fun("n"),
                 lambda: attempt(p.isdef), lambda: attempt(Plugin, ""), lambda: p.get_plugin_list(1),
                 lambda: attempt(p.get_fun, [1]), lambda: attempt(p.exec_fun, a, x=1)] + calls[:6]

        def run(n):
            for i in range(n):
                mixed[i % len(mixed)]()
                if i % 1000 == 0:
                    RunnerCore.reset()
                    commons.reset()
                    RunnerCore.reply = {"status": False, "msg": "Traceback boom"}
        run(20000)
        gc.collect()
        before = rss_bytes()
        run(SOAK_CALLS)
        gc.collect()
        after = rss_bytes()
        print("\nsoak: %d calls, resident %.1f MiB before, %.1f MiB after, cache %d entries"
              % (SOAK_CALLS, before / 1048576.0, after / 1048576.0, len(Plugin._Plugin__obj_dict)))
        self.assertLess(after - before, 2 * 1048576)


class Payload(object):
    pass


def cyclic():
    obj = Payload()
    obj.me = obj
    return obj, weakref.ref(obj)


class GcTest(support.ModuleTestCase):
    def test_referents(self):
        for name in ("exec_fun", "isdef"):
            m = getattr(Plugin, name)
            self.assertTrue(gc.is_tracked(m))
            held = [m.__name__, m.__dict__, m.__annotations__, m.__code__, m.__qualname__, m.__module__,
                    m.__globals__, m.__doc__]
            if name == "exec_fun":
                held.append(m.__defaults__)
            self.assertIs(m.__globals__, vars(addonGate))
            refs = gc.get_referents(m)
            for obj in held:
                self.assertTrue(any(r is obj for r in refs), "%s does not report %r" % (name, obj))

    def test_replaced_values_are_released(self):
        m = Plugin.get_fun
        defaults = m.__defaults__
        for how in ("dict", "attr", "annotations", "defaults", "kwdefaults", "doc", "module"):
            obj, ref = cyclic()
            obj.m = m
            if how == "dict":
                m.__dict__ = {"x": obj}
                m.__dict__ = {}
            elif how == "attr":
                m.payload = obj
                del m.payload
            elif how == "annotations":
                m.__annotations__ = {"x": obj}
                m.__annotations__ = None
            elif how == "defaults":
                m.__defaults__ = (obj,)
                m.__defaults__ = defaults
            elif how == "kwdefaults":
                m.__kwdefaults__ = {"x": obj}
                del m.__kwdefaults__
            elif how == "doc":
                m.__doc__ = obj
                del m.__doc__
            else:
                m.__module__ = obj
                m.__module__ = "addonGate"
            del obj
            gc.collect()
            self.assertIsNone(ref(), how)
        m.__doc__ = None
        del m.__doc__

    def test_unreachable_method_objects_are_collected(self):
        code = r"""
import gc, json, weakref, addonGate
P = addonGate.Plugin
out = {}
for name, how in (("__dir__", "none"), ("isdef", "dict"), ("get_fun", "annotations"), ("exec_fun", "defaults")):
    m = getattr(P, name)
    ref = weakref.ref(m)
    if how == "dict":
        m.me = m
    elif how == "annotations":
        m.__annotations__ = {"me": m}
    elif how == "defaults":
        m.__defaults__ = (m,)
    delattr(P, name)
    del m
    gc.collect()
    out[how] = ref() is None
print(json.dumps(out))
"""
        res = support.run_python(code)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual(json.loads(res.stdout), {"none": True, "dict": True, "annotations": True, "defaults": True})


MUTATED_KEYWORDS = r"""
import gc, json, addonGate, RunnerCore
state = {"freed": False, "seen": None}

class Key(str):
    # Same hash as "def_name": looking that name up compares with this key,
    # and the comparison empties every dict holding the key.
    def __hash__(self):
        return hash("def_name")

    def __eq__(self, other):
        for d in gc.get_referrers(self):
            if type(d) is dict:
                d.clear()
        return False
    __ne__ = str.__ne__

class Args(object):
    def get(self, key, default):
        return "m"

    def __del__(self):
        state["freed"] = True

def handler(name, def_name, get_args):
    state["seen"] = [type(get_args).__name__, state["freed"]]
    return "r"

RunnerCore.handler = handler
try:
    out = addonGate.Plugin.exec_fun(addonGate.Plugin("a"), **{"get_args": Args(), Key("zzzzzzzz"): 1})
except TypeError as e:
    out = str(e)
print(json.dumps([out, state["seen"]]))
"""


class BorrowedArgumentsTest(unittest.TestCase):
    def test_keyword_values_outlive_a_mutated_mapping(self):
        # A key's comparison may empty the keyword mapping while the call is
        # being bound; values already bound must stay alive for the body.
        res = support.run_python(MUTATED_KEYWORDS)
        self.assertEqual(res.returncode, 0, "crashed: %s" % res.stderr[-500:])
        out, seen = json.loads(res.stdout)
        if seen is not None:
            self.assertEqual((out, seen), ("r", ["Args", False]))
        else:
            self.assertEqual(out, "exec_fun() got an unexpected keyword argument 'zzzzzzzz'")


if __name__ == "__main__":
    unittest.main()
