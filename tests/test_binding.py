"""Argument binding of the five methods that bind their own arguments."""
import sys
import unittest

import commons
import RunnerCore
from addonGate import Plugin
from support import FILE_NAME, ModuleTestCase, module_entries

LINES = {"__init__": 25, "get_plugin_list": 37, "exec_fun": 48, "get_fun": 68, "isdef": 83}


class Text(str):
    """A keyword whose own comparison fails: parameter names must match by text."""

    def __eq__(self, other):
        raise LookupError("compared")
    __hash__ = str.__hash__


def call_caught(fn, args, kw, kind=TypeError):
    """The error of `fn(*args)` with no keyword mapping at all (kw None), or
    of `fn(*args, **kw)`, with its traceback."""
    try:
        if kw is None:
            fn(*args)
        else:
            fn(*args, **kw)
    except kind as exc:
        return exc
    raise AssertionError("%s not raised by %r" % (kind.__name__, fn))


def refusals(p, a):
    """(method, callable, positional, keywords or None, message) of refused calls."""
    P = Plugin
    at_least_1 = "%s() takes at least 1 positional argument (0 given)"
    rows = []
    for name in ("__init__", "get_plugin_list"):
        bound = Plugin if name == "__init__" else p.get_plugin_list
        param = "init_plugin_name" if name == "__init__" else "upgrade_force"
        unbound = getattr(P, name)
        rows += [
            (name, unbound, (), None, at_least_1 % name),
            (name, bound, (1, 2), None, name + "() takes at most 2 positional arguments (3 given)"),
            (name, unbound, (p, 1, 2, 3), None, name + "() takes at most 2 positional arguments (4 given)"),
            (name, unbound, (), {}, at_least_1 % name),
            (name, bound, (1, 2), {}, name + "() takes at most 2 positional arguments (3 given)"),
            (name, unbound, (), {param: 1}, at_least_1 % name),
            (name, bound, (1,), {param: 2}, name + "() got multiple values for keyword argument '%s'" % param),
            (name, bound, (), {"self": p}, name + "() got multiple values for keyword argument 'self'"),
            (name, bound, (), {"foo": 1}, name + "() got an unexpected keyword argument 'foo'"),
            (name, bound, (), {param: 1, "foo": 1}, name + "() got an unexpected keyword argument 'foo'"),
            (name, unbound, (p,), {1: 2}, name + "() keywords must be strings"),
        ]
    least = "exec_fun() takes at least 2 positional arguments (%d given)"
    most = "exec_fun() takes at most 3 positional arguments (4 given)"
    multiple = "exec_fun() got multiple values for keyword argument '%s'"
    rows += [
        ("exec_fun", p.exec_fun, (), None, least % 1),
        ("exec_fun", P.exec_fun, (), None, least % 0),
        ("exec_fun", p.exec_fun, (a, "m", "x"), None, most),
        ("exec_fun", p.exec_fun, (), {}, least % 1),
        ("exec_fun", p.exec_fun, (a, "m", "x"), {}, most),
        ("exec_fun", P.exec_fun, (), {"get_args": a, "def_name": "m"}, least % 0),
        ("exec_fun", p.exec_fun, (), {"def_name": "m"}, least % 1),
        ("exec_fun", P.exec_fun, (), {"self": p, "def_name": "m"}, least % 1),
        ("exec_fun", p.exec_fun, (), {"other": 1}, least % 1),
        ("exec_fun", p.exec_fun, (a, "m", "x"), {"def_name": "n"}, most),
        ("exec_fun", p.exec_fun, (a, "m"), {"def_name": "n"}, multiple % "def_name"),
        ("exec_fun", p.exec_fun, (a,), {"get_args": a}, multiple % "get_args"),
        ("exec_fun", p.exec_fun, (a, "m"), {Text("def_name"): "n"}, multiple % "def_name"),
        ("exec_fun", p.exec_fun, (a,), {"name": 1}, "exec_fun() got an unexpected keyword argument 'name'"),
        ("exec_fun", p.exec_fun, (a,), {Text("get_arg"): 1}, "exec_fun() got an unexpected keyword argument 'get_arg'"),
        ("exec_fun", P.exec_fun, (p, a), {1: 2}, "exec_fun() keywords must be strings"),
    ]
    for name in ("get_fun", "isdef"):
        bound, unbound = getattr(p, name), getattr(P, name)
        exactly = name + "() takes exactly 2 positional arguments (%d given)"
        rows += [
            (name, bound, (), None, exactly % 1),
            (name, unbound, (), None, exactly % 0),
            (name, unbound, ("m",), None, exactly % 1),
            (name, bound, ("m", "n"), None, exactly % 3),
            (name, bound, (), {}, exactly % 1),
            (name, bound, ("m", "n"), {}, exactly % 3),
            (name, bound, ("m", "n"), {"def_name": "o"}, exactly % 3),
            (name, unbound, (), {"def_name": "m"}, exactly % 0),
            (name, unbound, (), {"self": p}, exactly % 1),
            (name, bound, (), {"other": 1}, exactly % 1),
            (name, bound, ("m",), {"def_name": "n"}, name + "() got multiple values for keyword argument 'def_name'"),
            (name, bound, ("m",), {"self": p}, name + "() got multiple values for keyword argument 'self'"),
            (name, bound, ("m",), {"other": 1}, name + "() got an unexpected keyword argument 'other'"),
            (name, bound, (), {"def_name": "m", "other": 1}, name + "() got an unexpected keyword argument 'other'"),
            (name, unbound, (p, "m"), {1: 2}, name + "() keywords must be strings"),
        ]
    return rows


class RefusedCallsTest(ModuleTestCase):
    def test_refusals(self):
        p, a = Plugin("a"), commons.dict_obj(s="x")
        for name, fn, args, kw, message in refusals(p, a):
            with self.subTest(name=name, args=args, kw=kw):
                RunnerCore.reset()
                exc = call_caught(fn, args, kw)
                if kw and not all(isinstance(k, str) for k in kw) and sys.version_info >= (3, 9):
                    # The interpreter's own refusal, before the module runs.
                    self.assertEqual((str(exc), module_entries(exc)), ("keywords must be strings", []))
                else:
                    self.assertEqual(str(exc), message)
                    self.assertEntry(exc, "addonGate.Plugin." + name, LINES[name])
                self.assertEqual(RunnerCore.calls, [])
                self.assertEqual(p._Plugin__plugin_name, "a")
                self.assertEqual(Plugin._Plugin__obj_dict, {})

    def test_lookup_errors_pass_through(self):
        # The direct lookup is an ordinary dictionary lookup: the key's own __eq__ decides.
        p = Plugin("a")
        for name in ("get_fun", "isdef"):
            with self.subTest(name=name):
                exc = call_caught(getattr(p, name), (), {Text("def_name"): "m"}, LookupError)
                self.assertEqual(module_entries(exc)[0], (FILE_NAME, "addonGate.Plugin." + name, LINES[name]))
                self.assertEqual(RunnerCore.calls, [])


class AcceptedCallsTest(ModuleTestCase):
    def test_runner_sees_bound_values(self):
        p, a, P = Plugin("a"), commons.dict_obj(s="req"), Plugin
        plain = "".join(["def_", "name"])  # equal text, not the interned name
        listed = lambda force: ("get_plugin_list", force)
        run = lambda name: ("plugin_run", "a", name, a)
        rows = [(p.get_plugin_list, (), None, listed(0)), (p.get_plugin_list, (), {}, listed(0)),
                (p.get_plugin_list, ("yes",), None, listed(1)), (P.get_plugin_list, (5,), None, listed(0)),
                (p.get_plugin_list, (), {"upgrade_force": True}, listed(1)),
                (P.get_plugin_list, (), {"self": p, "upgrade_force": 1}, listed(1)),
                (p.exec_fun, (a,), None, run("req")), (p.exec_fun, (a,), {}, run("req")),
                (p.exec_fun, (a, "m"), None, run("m")), (p.exec_fun, (a,), {"def_name": "m"}, run("m")),
                (p.exec_fun, (), {"get_args": a}, run("req")), (p.exec_fun, (a,), {plain: "m"}, run("m")),
                (P.exec_fun, (), {"def_name": "m", "get_args": a, "self": p}, run("m"))]
        for name in ("get_fun", "isdef"):
            bound, unbound = getattr(p, name), getattr(P, name)
            rows += [(bound, ("m",), None, run("m")[:3]), (bound, ("m",), {}, run("m")[:3]),
                     (bound, (), {"def_name": "m"}, run("m")[:3]), (bound, (), {plain: "m"}, run("m")[:3]),
                     (unbound, (), {"self": p, "def_name": "m"}, run("m")[:3])]
        for fn, args, kw, expected in rows:
            with self.subTest(fn=fn, args=args, kw=kw):
                RunnerCore.reset()
                Plugin._Plugin__obj_dict.clear()
                fn(*args) if kw is None else fn(*args, **kw)
                self.assertEqual(len(RunnerCore.calls), 1)
                self.assertEqual(RunnerCore.calls[0][:len(expected)], expected)
        for init in (lambda t: P.__init__(t, "x", **{}), lambda t: P.__init__(t, init_plugin_name="x"),
                     lambda t: P.__init__(self=t, init_plugin_name="x")):
            target = Plugin.__new__(Plugin)
            init(target)
            self.assertEqual(target._Plugin__plugin_name, "x")

    def test_defaults_attribute_does_not_change_binding(self):
        a = commons.dict_obj(s="req")
        rows = [("exec_fun", ("m",), lambda: Plugin("a").exec_fun(a), [("plugin_run", "a", "req", a)]),
                ("exec_fun", None, lambda: Plugin("a").exec_fun(a), [("plugin_run", "a", "req", a)]),
                ("get_plugin_list", (True,), lambda: Plugin("a").get_plugin_list(), [("get_plugin_list", 0)]),
                ("__init__", ("x",), lambda: self.assertRaises(ValueError, Plugin), [])]
        for name, new, call, expected in rows:
            with self.subTest(name=name, defaults=new):
                RunnerCore.reset()
                method = getattr(Plugin, name)
                saved = method.__defaults__
                method.__defaults__ = new
                try:
                    self.assertEqual(method.__defaults__, new)
                    call()
                finally:
                    method.__defaults__ = saved
                self.assertEqual(RunnerCore.calls, expected)


if __name__ == "__main__":
    unittest.main()
