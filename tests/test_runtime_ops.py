"""Raising, calling, item reads and global reads inside the method bodies."""
import builtins
import collections
import sys
import types
import unittest

import addonGate
import commons
import RunnerCore
from addonGate import Plugin
from support import FILE_NAME, ModuleTestCase, caught, module_entries, reset, run_python

NOT_AN_EXCEPTION = "raise: exception class must be a subclass of BaseException"


class StubError(Exception):
    pass


class Stub(object):
    """Stands in for either host module and counts its uses."""
    def __init__(self):
        self.used = 0

    def _use(self, *args):
        self.used += 1
        return commons.dict_obj() if not args else StubError(*args[:1])
    plugin_run = get_plugin_list = dict_obj = CorvelError = _use


def load_failure(p):
    RunnerCore.reply = {"status": False, "msg": "加载失败"}
    try:
        p.exec_fun(commons.dict_obj(), "m")
    except (StubError, commons.CorvelError):
        pass


# global, a call that reads it, the line and the entry of that reading place
READERS = [("RunnerCore", lambda p: p.get_plugin_list(), 45, "get_plugin_list"),
           ("RunnerCore", lambda p: p.exec_fun(commons.dict_obj(), "m"), 59, "exec_fun"),
           ("RunnerCore", lambda p: p.get_fun("m"), 80, "get_fun"),
           ("commons", lambda p: p.get_fun("m"), 77, "get_fun"),
           ("commons", load_failure, 64, "exec_fun")]
ATTRIBUTES = {45: "get_plugin_list", 59: "plugin_run", 80: "plugin_run", 77: "dict_obj", 64: "CorvelError"}


class RaiseObjectTest(ModuleTestCase):
    def raise_through(self, factory):
        saved = commons.CorvelError
        commons.CorvelError = factory
        self.addCleanup(setattr, commons, "CorvelError", saved)
        RunnerCore.reply = {"status": False, "msg": "x加载失败"}
        return caught(BaseException, Plugin("a").exec_fun, commons.dict_obj(), "m")

    def test_raised_objects(self):
        class Odd(Exception):
            def __new__(cls, *args):
                return 5

        class Refusing(Exception):
            def __init__(self):
                raise StubError("no instance")
        odd = "calling %r should have returned an instance of BaseException, not %r" % (Odd, int)
        instance = StubError("ready")
        rows = [(lambda msg: "text", TypeError, (NOT_AN_EXCEPTION,)),
                (lambda msg: KeyError, KeyError, ()),
                (lambda msg: object, TypeError, (NOT_AN_EXCEPTION,)),
                (lambda msg: None, TypeError, (NOT_AN_EXCEPTION,)),
                (lambda msg: Odd, TypeError, (odd,)),
                (lambda msg: instance, StubError, ("ready",)),
                (commons.CorvelError, commons.CorvelError, ("x加载失败",)),
                (lambda msg: Refusing, StubError, ("no instance",))]
        for factory, kind, args in rows:
            with self.subTest(kind=kind, args=args):
                exc = self.raise_through(factory)
                self.assertEqual((type(exc), exc.args), (kind, args))
                self.assertEqual(module_entries(exc)[0], (FILE_NAME, "addonGate.Plugin.exec_fun", 64))
                if args != ("no instance",):
                    self.assertEntry(exc, "addonGate.Plugin.exec_fun", 64)
        self.assertIs(self.raise_through(lambda msg: instance), instance)


class LookupGlobalTest(ModuleTestCase):
    def setUp(self):
        super(LookupGlobalTest, self).setUp()
        for name in ("RunnerCore", "commons", "__getattr__"):
            self.addCleanup(lambda n=name: hasattr(builtins, n) and delattr(builtins, n))
        self.addCleanup(reset)

    def test_each_reading_place(self):
        for name, call, line, short in READERS:
            with self.subTest(name=name, line=line):
                reset()
                if hasattr(builtins, name):
                    delattr(builtins, name)
                original, p = getattr(addonGate, name), Plugin("a")
                call(p)
                delattr(addonGate, name)
                exc = caught(NameError, call, p)
                self.assertEqual(str(exc), "name '%s' is not defined" % name)
                entries = module_entries(exc)
                self.assertEqual(entries[-1], (FILE_NAME, "addonGate.Plugin." + short, line))
                self.assertEqual([e[0] for e in entries].count(FILE_NAME), 1)
                # builtins answer while the module has no such global, and are read
                # again at every call; the module's own global wins as soon as it is set
                steps = [(builtins, Stub()), (builtins, Stub()), (addonGate, Stub()), (addonGate, Stub())]
                for where, stub in steps:
                    setattr(where, name, stub)
                    call(p)
                    self.assertEqual(stub.used, 1, (where.__name__, line))
                delattr(builtins, name)
                setattr(addonGate, name, original)
                call(p)
                self.assertEqual(steps[-1][1].used, 1)
                delattr(addonGate, name)
                setattr(builtins, name, steps[0][1])
                call(p)
                self.assertEqual(steps[0][1].used, 2)

    def test_builtins_attribute_hook(self):
        # From 3.7 a module-level __getattr__ of builtins answers attribute reads.
        class Missing(AttributeError):
            pass
        stub, hook, p = Stub(), sys.version_info >= (3, 7), Plugin("a")

        def raiser(kind):
            def getattr_hook(name):
                raise kind(name)
            return getattr_hook
        del addonGate.RunnerCore
        for getattr_hook, kind in [(lambda name: stub, None if hook else NameError),
                                   (raiser(Missing), NameError), (raiser(StubError), StubError if hook else NameError)]:
            with self.subTest(kind=kind):
                builtins.__getattr__ = getattr_hook
                try:
                    if kind is None:
                        p.get_plugin_list()
                        self.assertEqual(stub.used, 1)
                        continue
                    exc = caught(kind, p.get_plugin_list)
                finally:
                    del builtins.__getattr__
                self.assertEqual(module_entries(exc)[0], (FILE_NAME, "addonGate.Plugin.get_plugin_list", 45))


class HostAttributeTest(ModuleTestCase):
    """An attribute of a host module may be remembered; every change must show."""
    def check_missing(self, owner, call, p, line, short):
        exc = caught(AttributeError, call, p)
        self.assertEqual(str(exc), str(caught(AttributeError, getattr, owner, ATTRIBUTES[line])))
        self.assertEqual(module_entries(exc)[-1], (FILE_NAME, "addonGate.Plugin." + short, line))

    def test_plain_module_changes(self):
        for name, call, line, short in READERS:
            attr = ATTRIBUTES[line]
            with self.subTest(line=line):
                reset()
                module, other, p = types.ModuleType(name), types.ModuleType(name), Plugin("a")
                first, second, third, hooked, shadowed = Stub(), Stub(), Stub(), Stub(), Stub()
                setattr(addonGate, name, module)
                setattr(module, attr, first._use)
                call(p)
                call(p)
                module.unrelated = 1
                call(p)
                setattr(module, attr, second._use)
                call(p)
                self.assertEqual((first.used, second.used), (3, 1))
                delattr(module, attr)
                self.check_missing(module, call, p, line, short)
                # from 3.7 a module-level __getattr__ answers at every read while the
                # name is missing
                asked, hook = [], sys.version_info >= (3, 7)
                module.__getattr__ = lambda n: asked.append(n) or hooked._use
                for _ in range(2):
                    call(p) if hook else self.check_missing(module, call, p, line, short)
                setattr(module, attr, second._use)
                call(p)
                self.assertEqual((asked, hooked.used, second.used), ([attr, attr], 2, 2) if hook else ([], 0, 2))
                setattr(other, attr, third._use)
                setattr(addonGate, name, other)
                call(p)
                setattr(addonGate, name, module)
                call(p)
                self.assertEqual((third.used, second.used), (1, 3))
                # the same module turned into a subclass whose property hides its dict
                reads = []
                module.__class__ = type("Kind", (types.ModuleType,), {
                    attr: property(lambda self: reads.append(attr) or shadowed._use)})
                call(p)
                call(p)
                self.assertEqual((reads, shadowed.used, second.used), ([attr, attr], 2, 3))
                module.__class__ = types.ModuleType
                call(p)
                self.assertEqual(second.used, 4)
                # a key whose own __eq__ runs at each look-up of the name
                compared = []

                class Key(str):
                    __hash__ = lambda self, h=hash(attr): h
                    __eq__ = lambda self, other: compared.append(other) and False
                delattr(module, attr)
                module.__dict__[Key("other")] = 0
                setattr(module, attr, second._use)
                del compared[:]
                getattr(module, attr)
                per_read = len(compared)
                call(p)
                call(p)
                self.assertGreater(per_read, 0)
                self.assertEqual((compared, second.used), ([attr] * 3 * per_read, 6))

    def test_owners_that_are_no_plain_module(self):
        for name, call, line, short in READERS:
            attr = ATTRIBUTES[line]
            with self.subTest(line=line):
                reset()
                stub, ignored, reads, p = Stub(), Stub(), [], Plugin("a")
                hidden = property(lambda self: reads.append(attr) or stub._use)
                kind = type("Kind", (types.ModuleType,), {attr: hidden})(name)
                kind.__dict__[attr] = ignored._use
                plain = type("Plain", (object,), {attr: hidden})()
                for owner in (kind, plain):
                    setattr(addonGate, name, owner)
                    call(p)
                    call(p)
                self.assertEqual((reads, stub.used, ignored.used), ([attr] * 4, 4, 0))
                # up to 3.10 a module made without __init__ has no dict at all
                bare = types.ModuleType.__new__(types.ModuleType)
                setattr(addonGate, name, bare)
                self.check_missing(bare, call, p, line, short)


class ItemAndCallTest(ModuleTestCase):
    def test_cache_without_subscription(self):
        class AlwaysIn(object):
            def __contains__(self, key):
                return True

        class SequenceOnly(collections.deque):
            def keys(self):
                return AlwaysIn()
        name = "Unsubscriptable" * 20
        p = Plugin("a")
        p._Plugin__obj_dict = type(name, (object,), {"keys": lambda self: AlwaysIn()})()
        exc = caught(TypeError, p.get_fun, "m")
        self.assertEqual(str(exc), "'%s' object is not subscriptable" % name[:200])
        self.assertEntry(exc, "addonGate.Plugin.get_fun", 76)
        p._Plugin__obj_dict = SequenceOnly(["x"])  # the (plugin, method) key is no index
        exc = caught(TypeError, p.get_fun, "m")
        self.assertEqual(str(exc), "'tuple' object cannot be interpreted as an integer")
        self.assertEntry(exc, "addonGate.Plugin.get_fun", 76)
        self.assertEqual(RunnerCore.calls, [])

    def test_reply_losing_msg_between_reads(self):
        for found, line in ((-1, 63), (3, 64)):
            with self.subTest(found=found):
                reply = {"status": False}

                class Msg(object):
                    def find(self, marker):
                        del reply["msg"]
                        return found
                reply["msg"] = Msg()
                RunnerCore.reply = reply
                exc = caught(KeyError, Plugin("a").exec_fun, commons.dict_obj(), "m")
                self.assertEqual(exc.args, ("msg",))
                self.assertEntry(exc, "addonGate.Plugin.exec_fun", line)

    def test_bad_callables(self):
        rows = [(5, TypeError)]
        try:
            import _testcapi
        except ImportError:
            _testcapi = None
        # A debug interpreter aborts in its own result check before the module sees the result.
        if _testcapi is not None and not hasattr(sys, "gettotalrefcount"):
            rows.append((_testcapi.return_null_without_error, SystemError))
        saved = commons.dict_obj
        for value, kind in rows:
            with self.subTest(value=value):
                commons.dict_obj = value
                try:
                    exc = caught(kind, Plugin("a").get_fun, "m")
                finally:
                    commons.dict_obj = saved
                self.assertEntry(exc, "addonGate.Plugin.get_fun", 77)
                self.assertEqual(RunnerCore.calls, [])

    def test_recursion_guard(self):
        # A runner that is no plain function, calling back into exec_fun; over several
        # limits and call depths the limit must at least once be hit by the runner call
        # itself, at line 59, with the guard's text.
        code = r'''
import sys, addonGate, commons, types
class Caller(object):
    def __init__(self, inner): self.inner = inner
    def __call__(self, *args): return self.inner(*args)
p = addonGate.Plugin("a")
addonGate.RunnerCore = types.SimpleNamespace(plugin_run=Caller(lambda n, d, a: p.exec_fun(a, d)))
found = 0
for extra in range(4):
    for pad in range(6):
        call = p.exec_fun
        for _ in range(pad):
            call = Caller(call)
        sys.setrecursionlimit(400 + extra if sys.version_info < (3, 12) else 100000)
        try:
            call(commons.dict_obj(), "m")
        except RecursionError as exc:
            tb = exc.__traceback__
            while tb.tb_next is not None:
                tb = tb.tb_next
            if (tb.tb_frame.f_code.co_name, tb.tb_lineno) == ("addonGate.Plugin.exec_fun", 59) \
                    and str(exc).endswith(" while calling a Python object"):
                found += 1
print(found)
'''
        proc = run_python(code)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertGreater(int(proc.stdout), 0, "the module's call guard never tripped")


if __name__ == "__main__":
    unittest.main()
