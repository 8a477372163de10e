"""Differential fuzzer: addonGate.Plugin against the pure-Python model.

Each case is plain data drawn from a seeded generator. It is built twice,
once around the native class and once around the model, run, and the two
observations (result or exception type and arguments, traceback entries,
runner calls, cache contents) must agree.

    python tests/stress/fuzz.py --seed 1 --seconds 20
    python tests/stress/fuzz.py --seed 1 --calls 5000
    python tests/stress/fuzz.py --seed 1 --case 417     # rerun up to case 417 and show it
"""
import argparse
import builtins
import collections
import gc
import os
import random
import sys
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
for _p in (HERE, os.path.join(HERE, "..", "stubs"), os.path.join(HERE, "..")):
    if _p not in sys.path:
        sys.path.insert(0, _p)

import commons  # noqa: E402
import RunnerCore  # noqa: E402
import addonGate  # noqa: E402
import model  # noqa: E402
import support  # noqa: E402

NS = vars(addonGate)
DictObj = commons.dict_obj
model.namespace = NS
METHODS = {"__init__": ("self", "init_plugin_name"), "get_plugin_list": ("self", "upgrade_force"),
           "exec_fun": ("self", "get_args", "def_name"), "get_fun": ("self", "def_name"),
           "isdef": ("self", "def_name"), "__dir__": ("self",)}


class Boom(Exception):
    pass


class SStr(str):
    pass


def boom(what):
    raise Boom(what)


# ---------------------------------------------------------------- building

def hostile(tag, beh):
    """An object whose dunder methods misbehave as `beh` says."""
    ns = {}
    for slot, how in beh.items():
        attr = slot if slot in ("find", "get") else "__%s__" % slot
        if type(how) is str and how == "raise":
            ns[attr] = lambda self, *a, **k: boom("%s %s" % (self._t, self._slot))
        elif slot == "hash":
            ns[attr] = (lambda self: 7) if how == "const" else None
        else:
            ns[attr] = (lambda v: lambda self, *a, **k: v)(how)
    cls = type("Hostile", (object,), ns)
    obj = cls()
    obj._t = tag
    obj._slot = "/".join(sorted(beh))
    return obj


def build(desc, w):
    """Make a fresh object for world `w` from a value description."""
    kind = desc[0]
    if kind == "lit":
        return desc[1]
    if kind == "sstr":
        return SStr(desc[1])
    if kind == "list":
        return [build(s, w) for s in desc[1]]
    if kind == "dict":
        return dict((build(k, w), build(v, w)) for k, v in desc[1])
    if kind == "dsub":
        ns = {}
        for slot, how in desc[2].items():
            if type(how) is str and how == "raise":
                ns["__%s__" % slot] = lambda self, *a: boom("dsub " + slot)
            else:
                ns["__%s__" % slot] = (lambda v: lambda self, *a: v)(build(how, w))
        return type("DSub", (dict,), ns)((build(k, w), build(v, w)) for k, v in desc[1])
    if kind == "h":
        beh = dict((k, build(v, w) if isinstance(v, tuple) else v) for k, v in desc[2].items())
        return hostile(desc[1], beh)
    if kind == "dobj":
        return DictObj(**dict((k, build(v, w)) for k, v in desc[1]))
    if kind == "fn":
        def plugin_method():
            return desc[1]
        plugin_method._t = desc[1]
        return plugin_method
    if kind == "obj":
        return object()
    if kind == "P":
        return w["p"]
    raise ValueError(desc)


def corvel(kind):
    if kind == "cls":
        return type("CErr", (Exception,), {})
    if kind == "str":
        return lambda m: "not an exception"
    if kind == "keyerror":
        return lambda m: KeyError
    if kind == "int":
        return lambda m: int
    if kind == "inst":
        return lambda m: KeyError(m)
    if kind == "badnew":
        bad = type("BadNew", (Exception,), {"__new__": lambda cls, *a: 5})
        return lambda m: bad
    if kind == "initraise":
        return type("CErr", (Exception,), {"__init__": lambda self, *a: boom("CErr init")})
    return None


def dict_obj_kind(kind):
    if kind == "stub":
        return commons.dict_obj
    if kind == "object":
        return object
    if kind == "int":
        return lambda: 5
    if kind == "raise":
        return lambda: boom("dict_obj")
    return None


class OddCache(object):
    def __init__(self, keys, get, store):
        self.mode = (keys, get, store)
        self.store = {}

    def keys(self):
        keys = self.mode[0]
        if keys == "raise":
            boom("keys")
        if keys == "all":
            return hostile("all", {"contains": True})
        return 5 if keys == "int" else list(self.store)

    def __getitem__(self, key):
        if self.mode[1] == "raise":
            boom("getitem")
        return self.store[key]

    def __setitem__(self, key, value):
        if self.mode[2] == "raise":
            boom("setitem")
        self.store[key] = value


class SeqCache(collections.deque):
    """Item access by position only; claims every key."""

    def keys(self):
        return hostile("all", {"contains": True})


def materialize(case, world):
    """Install the case's globals and build its objects for one world."""
    cls = addonGate.Plugin if world == "real" else model.Plugin
    w = {"world": world, "cls": cls, "reads": []}
    RunnerCore.reset()
    commons.reset()
    # The request class of this world, which the state changes may alter.
    commons.dict_obj = w["Args"] = type("Args", (DictObj,), {})
    reply = build(case["reply"], w)

    def handler(*a):
        if case["runner_raises"]:
            boom("runner")
        return reply
    RunnerCore.handler = handler
    NS["RunnerCore"], NS["commons"] = RunnerCore, commons
    for name in ("RunnerCore", "commons"):
        if hasattr(builtins, name):
            delattr(builtins, name)
    rc = case["rc"]
    if rc in ("missing", "builtins"):
        del NS["RunnerCore"]
        if rc == "builtins":
            builtins.RunnerCore = RunnerCore
    elif rc == "noattr":
        NS["RunnerCore"] = types.SimpleNamespace()
    elif rc == "notcallable":
        NS["RunnerCore"] = types.SimpleNamespace(plugin_run=5, get_plugin_list="x")
    cm = case["cm"]
    if cm == "missing":
        del NS["commons"]
    elif cm == "custom":
        ns = types.SimpleNamespace()
        c, d = corvel(case["corvel"]), dict_obj_kind(case["dict_obj"])
        if c is not None:
            ns.CorvelError = c
        if d is not None:
            ns.dict_obj = d
        NS["commons"] = ns
    pc = case["plugin"]
    base = cls
    if pc["cls"] == "getfun":
        sub_reply = build(pc["sub_reply"], w)

        def get_fun(self, def_name):
            if pc["sub_raises"]:
                boom("sub get_fun")
            return sub_reply
        base = type("SubPlugin", (cls,), {"get_fun": get_fun})
    elif pc["cls"] == "sub":
        base = type("SubPlugin", (cls,), {})
    elif pc["cls"] == "setattr":
        base = type("SubPlugin", (cls,), {"__setattr__": lambda self, k, v: boom("setattr")})
    elif pc["cls"] == "watched":
        def __getattribute__(self, name):
            w["reads"].append(name)
            return object.__getattribute__(self, name)
        base = type("SubPlugin", (cls,), {"__getattribute__": __getattribute__})
    p = base.__new__(base)
    object.__setattr__(p, "_Plugin__plugin_name", build(pc["name"], w))
    if pc["delname"]:
        object.__delattr__(p, "_Plugin__plugin_name")
    if pc["php"] is not None:
        object.__setattr__(p, "_Plugin__is_php", build(pc["php"], w))
    if pc["cache"] is not None:
        cache = SeqCache(["x"]) if pc["cache"] == "seq" else OddCache(*pc["cache"])
        object.__setattr__(p, "_Plugin__obj_dict", cache)
    w["p"] = p
    w["calls"] = []
    for how, meth, args, kw in case["calls"]:
        w["calls"].append((how, meth, [build(a, w) for a in args],
                           None if kw is None else dict((build(k, w), build(v, w)) for k, v in kw)))
    return w


def restore():
    RunnerCore.reset()
    commons.reset()
    commons.dict_obj = DictObj
    for cls in (addonGate.Plugin, model.Plugin):
        cls._Plugin__plugin_name, cls._Plugin__is_php = None, False
    NS["RunnerCore"], NS["commons"] = RunnerCore, commons
    for name in ("RunnerCore", "commons"):
        if hasattr(builtins, name):
            delattr(builtins, name)


# ---------------------------------------------------------------- changing state

def churn_classes(n):
    """Ordinary class work: classes made, changed and read."""
    for i in range(n):
        cls = type("Churn", (object,), {"x": i})
        cls.y = i
        getattr(cls, "y")
        del cls.x
        getattr(cls, "x", None)


def set_property(cls, on):
    """A data descriptor for the attribute the module sets on the request."""
    if on:
        cls.plugin_get_object = property(
            lambda self: 0, lambda self, value: self.__dict__.__setitem__("via_property", value))
    elif "plugin_get_object" in vars(cls):
        del cls.plugin_get_object


def change_state(op, w):
    """What the host does between two calls, the same in both worlds."""
    kind = op[0]
    target = w["Args"] if kind == "args" else type(w["p"])
    if kind == "clear":
        support.clear_type_cache()
    elif kind == "gc":
        gc.collect()
    elif kind == "classes":
        churn_classes(op[1])
    elif kind == "cache":
        target._Plugin__obj_dict = build(op[1], w)
    elif kind == "php":
        target._Plugin__is_php = build(op[1], w)
    elif kind == "name":
        target._Plugin__plugin_name = build(op[1], w)
    elif kind == "args":
        set_property(target, op[1])
    elif kind == "retag":
        # The change made after a type cache reset, then the class handed its
        # old version tag again where the interpreter allows it.
        target = w["Args"] if op[1][0] == "args" else type(w["p"])
        tag = support.version_tag(target)
        support.clear_type_cache()
        change_state(op[1], w)
        gc.collect()
        support.retag(target, tag)


# ---------------------------------------------------------------- observing

def describe(o, depth=0):
    t = type(o)
    if depth > 5:
        return "..."
    if o is None or t in (bool, int, float, bytes, str):
        return repr(o)
    if isinstance(o, str):
        return (t.__name__, str.__str__(o))
    if isinstance(o, (tuple, list)):
        return (t.__name__,) + tuple(describe(x, depth + 1) for x in o)
    if isinstance(o, dict):
        return (t.__name__,) + tuple((describe(k, depth + 1), describe(v, depth + 1)) for k, v in dict.items(o))
    if isinstance(o, BaseException):
        return ("exc", t.__name__, describe(o.args, depth + 1))
    if isinstance(o, type):
        return ("type", o.__name__)
    if isinstance(o, DictObj):
        return ("dict_obj",) + tuple(sorted((k, describe(v, depth + 1)) for k, v in vars(o).items()))
    if isinstance(o, (addonGate.Plugin, model.Plugin)):
        return ("Plugin", t.__name__, describe(getattr(o, "_Plugin__plugin_name"), depth + 1))
    if isinstance(o, OddCache):
        return ("OddCache", describe(o.store, depth + 1))
    d = getattr(o, "__dict__", None) if isinstance(o, types.FunctionType) else None
    if d is None and t.__name__ == "Hostile":
        d = object.__getattribute__(o, "__dict__")
    if d is not None and "_t" in d:
        return (t.__name__, d["_t"])
    return ("obj", t.__name__)


def run_world(case, world):
    w = materialize(case, world)
    cls = w["cls"]
    outcomes = []
    for (how, meth, args, kw), op in zip(w["calls"], case["churn"]):
        change_state(op, w)
        try:
            if world == "real":
                if how == "new":
                    res = cls(*args, **(kw or {}))
                elif how == "bound":
                    res = vars(cls)[meth].__get__(args[0], type(args[0]))(*args[1:], **(kw or {}))
                else:
                    res = getattr(cls, meth)(*args, **(kw or {}))
            else:
                res = model.call(cls, how, meth, args, kw)
            outcomes.append(("ok", describe(res)))
        except Exception as e:
            outcomes.append(("err", type(e).__name__, describe(e.args), model.entries(e)))
    p = w["p"]
    own = None
    if case["plugin"]["cache"] is not None:
        own = describe(object.__getattribute__(p, "_Plugin__obj_dict"))
    obs = {"outcomes": outcomes, "runner": [describe(c) for c in RunnerCore.calls], "reads": w["reads"],
           "cache": describe(cls._Plugin__obj_dict), "own": own,
           "name": describe(getattr(p, "_Plugin__plugin_name", "<none>"))}
    restore()
    return obs


# ---------------------------------------------------------------- generating

def gen_hostile(r, tag, slots):
    beh = {}
    for slot in slots:
        beh[slot] = r.choice(SLOT_CHOICES[slot])
    return ("h", tag, beh)


SLOT_CHOICES = {
    "bool": ["raise", True, False, 2],
    "eq": ["raise", ("lit", True), ("lit", False), ("h", "eqres", {"bool": "raise"})],
    "hash": ["raise", "const", None],
    "find": ["raise", ("lit", -1), ("lit", 0), ("lit", 0.0), ("lit", "0"), ("h", "findres", {"eq": "raise"})],
    "get": ["raise", ("lit", "m"), ("lit", None), ("h", "getres", {"bool": "raise"})],
}


def gen_value(r, role):
    if role == "init_plugin_name":
        role = "name"
    if role in ("def_name", "key"):
        if r.random() < 0.7:
            return r.choice([("lit", "m"), ("lit", "n"), ("lit", "index"), ("lit", "f")])
        return r.choice([("lit", ""), ("lit", None), ("lit", 0), ("sstr", "m"), ("list", []), ("list", [("lit", 1)]),
                         gen_hostile(r, "dn", ["bool", "hash"]), gen_hostile(r, "dn2", ["eq", "hash"])])
    if role == "name":
        if r.random() < 0.7:
            return r.choice([("lit", "a"), ("lit", "b")])
        return r.choice([("lit", "a"), ("lit", "b"), ("lit", "a"), ("lit", False), ("lit", True), ("lit", 7),
                         ("lit", ""), ("lit", None), ("lit", ("x", 1)), ("list", [("lit", 1)]), ("list", []),
                         gen_hostile(r, "nm", ["bool", "hash"]), gen_hostile(r, "nm2", ["bool", "eq", "hash"])])
    if role == "get_args":
        return r.choice([("dobj", [("s", ("lit", "m"))]), ("dobj", []), ("dobj", [("s", ("lit", ""))]),
                         ("dict", [(("lit", "s"), ("lit", "n"))]), ("lit", None), ("h", "ga", {}),
                         gen_hostile(r, "ga", ["get"])])
    if role == "upgrade_force":
        return r.choice([("lit", True), ("lit", False), ("lit", "yes"), ("list", []), ("lit", 0),
                         gen_hostile(r, "uf", ["bool"])])
    if role == "status":
        return r.choice([("lit", False), ("lit", 0), ("lit", 0.0), ("lit", None), ("lit", True), ("lit", ""),
                         gen_hostile(r, "st", ["eq"])])
    if role == "msg":
        return r.choice([("lit", "x加载失败y"), ("lit", "Traceback (most recent call last): x"),
                         ("lit", " Traceback "), ("lit", "permission denied"), ("lit", 5), ("sstr", "加载失败"),
                         gen_hostile(r, "msg", ["find"])])
    if role == "reply":
        pick = r.randrange(10)
        if pick < 5:
            items = []
            if r.random() < 0.9:
                items.append((("lit", "status"), gen_value(r, "status")))
            if r.random() < 0.85:
                items.append((("lit", "msg"), gen_value(r, "msg")))
            if r.random() < 0.2:
                items.append((("h", "rk", {"eq": r.choice(["raise", ("lit", False)]), "hash": "const"}), ("lit", 1)))
            if pick == 4:
                slot = r.choice(["getitem", "contains"])
                return ("dsub", items, {slot: r.choice(["raise", ("lit", True), ("lit", False)])
                                        if slot == "contains" else "raise"})
            return ("dict", items)
        return r.choice([("lit", "ok"), ("lit", None), ("list", []), ("lit", 0), ("fn", "f1"), ("fn", "f2"),
                         ("dict", []), gen_hostile(r, "rep", ["bool"])])
    return r.choice([("lit", 1), ("lit", "x"), ("obj",)])


def gen_churn(r):
    """A change of the interpreter's state before a call, or none."""
    if r.random() < 0.7:
        return ("none",)
    keys = [(n, m) for n in ("a", "b") for m in ("m", "n") if r.random() < 0.4]
    op = r.choice([("clear",), ("gc",), ("classes", r.randrange(1, 4)),
                   ("cache", ("dict", [(("lit", k), ("fn", "c%d" % r.randrange(3))) for k in keys])),
                   ("php", r.choice([("lit", True), ("lit", False), ("lit", 0)])),
                   ("name", r.choice([("lit", "a"), ("lit", "b"), ("lit", None)])),
                   ("args", r.random() < 0.5)])
    if op[0] in ("cache", "php", "name", "args") and r.random() < 0.5:
        return ("retag", op)
    return op


def gen_call(r):
    meth = r.choice(list(METHODS) + ["isdef", "get_fun", "exec_fun"])
    params = METHODS[meth]
    how = "new" if meth == "__init__" and r.random() < 0.5 else r.choice(["bound", "bound", "class"])
    if meth == "__dir__" and how == "new":
        how = "bound"
    n = len(params) if r.random() < 0.75 else r.randrange(len(params) + 2)
    args = [("P",)]
    if how == "class" and r.random() < 0.15:
        args = [r.choice([("obj",), ("lit", None), gen_hostile(r, "self", [])])]
    roles = params[1:] + ("other", "other")
    args += [gen_value(r, roles[i]) for i in range(max(0, n - 1))]
    if how == "new" or (how == "class" and n == 0):
        args = args[1:]
    kw = None
    if r.random() < 0.3:
        kw = []
        names = list(params[1:]) + ["self", "other"]
        for _ in range(r.randrange(3)):
            key = r.choice(names)
            if how == "class" and r.random() < 0.15:
                kkey = r.choice([("lit", 1), ("lit", None), ("lit", ("x",)), ("lit", b"def_name")])
            elif r.random() < 0.1:
                kkey = ("sstr", key)
            else:
                kkey = ("lit", key)
            role = key if key in params else "other"
            kw.append((kkey, ("P",) if key == "self" else gen_value(r, role)))
    return (how, meth, args, kw)


def gen_case(r):
    name = gen_value(r, "name")
    plugin = {"cls": r.choice(["plain"] * 6 + ["sub", "sub", "getfun", "setattr", "watched"]), "name": name,
              "delname": r.random() < 0.03, "php": None, "cache": None,
              "sub_reply": gen_value(r, "reply"), "sub_raises": r.random() < 0.3}
    if r.random() < 0.08:
        plugin["php"] = r.choice([("lit", True), ("lit", 0), gen_hostile(r, "php", ["bool"])])
    if r.random() < 0.08:
        plugin["cache"] = "seq" if r.random() < 0.2 else (
            r.choice(["raise", "all", "int", "list"]), r.choice(["raise", "ok"]), r.choice(["raise", "ok"]))
    calls = [gen_call(r) for _ in range(r.choice([1, 1, 2, 3]))]
    return {"rc": r.choice(["stub"] * 12 + ["missing", "builtins", "noattr", "notcallable"]),
            "cm": r.choice(["stub"] * 4 + ["missing", "custom", "custom"]),
            "corvel": r.choice(["cls", "str", "keyerror", "int", "inst", "badnew", "initraise", "none"]),
            "dict_obj": r.choice(["stub", "object", "int", "raise", "none"]),
            "reply": gen_value(r, "reply"), "runner_raises": r.random() < 0.1,
            "plugin": plugin, "calls": calls, "churn": [gen_churn(r) for _ in calls]}


# ---------------------------------------------------------------- driving

def run_case(case):
    real = run_world(case, "real")
    mod = run_world(case, "model")
    return real, mod


def diff(real, mod):
    out = []
    for key in ("outcomes", "runner", "reads", "cache", "own", "name"):
        if real[key] != mod[key]:
            out.append("%s:\n  native: %r\n  model:  %r" % (key, real[key], mod[key]))
    return out


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--seconds", type=float, default=None)
    ap.add_argument("--calls", type=int, default=None)
    ap.add_argument("--case", type=int, default=None, help="replay one case number and print it")
    ap.add_argument("--keep-going", action="store_true")
    opts = ap.parse_args(argv)
    seed = opts.seed if opts.seed is not None else random.randrange(1 << 30)
    if opts.seconds is None and opts.calls is None:
        opts.seconds = 20.0
    print("fuzz: python %s, seed %d" % (sys.version.split()[0], seed))
    sys.stdout.flush()
    r = random.Random(seed)
    deadline = time.time() + opts.seconds if opts.seconds is not None else None
    cases = calls = failures = 0
    while True:
        if deadline is not None and time.time() >= deadline:
            break
        if opts.calls is not None and calls >= opts.calls:
            break
        if r.random() < 0.03 or len(addonGate.Plugin._Plugin__obj_dict) > 60:
            addonGate.Plugin._Plugin__obj_dict.clear()
            model.Plugin._Plugin__obj_dict.clear()
        case = gen_case(r)
        real, mod = run_case(case)
        calls += len(case["calls"])
        problems = diff(real, mod)
        if opts.case is not None and cases == opts.case:
            print("case %d: %r" % (cases, case))
            print("native: %r" % (real,))
        if problems:
            failures += 1
            print("MISMATCH seed %d case %d (replay: --seed %d --case %d)" % (seed, cases, seed, cases))
            print("case: %r" % (case,))
            print("\n".join(problems))
            sys.stdout.flush()
            if not opts.keep_going or failures >= 20:
                break
        cases += 1
        if opts.case is not None and cases > opts.case:
            break
    print("fuzz: seed %d, %d cases, %d calls, %d mismatches" % (seed, cases, calls, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
