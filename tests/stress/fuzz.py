"""Differential fuzzer: addonGate.Plugin against the pure-Python model.

Each case is plain data drawn from a seeded generator. It is built twice,
once around the native class and once around the model, run, and the two
observations (result or exception type and arguments, traceback entries,
runner calls, cache contents, the compares of keys planted in module
namespaces) must agree.

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
import weakref

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


# ---------------------------------------------------------------- colliding keys
# A planted key hashes like a name the bodies read, so that a lookup of that
# name compares it and runs its __eq__, while a call runs. How often a class or
# instance lookup compares depends on the type cache and on specialisation,
# which differ between the worlds: keys there only do what leaves outcomes
# alone. A global or a host module's attribute is one dict read in both
# worlds: those keys' compares are logged, and module namespace keys may
# delete or rebind the global, or answer True and give their own value.

ARMED = [False]
Shell = type("Shell", (object,), {})  # Plugin's instance layout, with `__dict__` reachable
NAMES = {"req": ("get", "plugin_get_object"),
         "plugin": ("_Plugin__plugin_name", "_Plugin__is_php", "_Plugin__obj_dict", "get_fun"),
         "runner": ("plugin_run", "get_plugin_list"), "commons": ("CorvelError", "dict_obj"),
         "msg": ("find",), "cache": ("keys",)}
# Stored by the bodies: the interpreter's own store keeps neither the instance
# dict nor the class alive across the dict update, so no key there rebinds them.
STORED = ("plugin_get_object", "_Plugin__plugin_name")
# Nor is the class replaced where the model's value is a descriptor other than
# a function (its get_fun): 3.14 crashes when the class is collected then.
KEEP_CLASS = STORED + ("get_fun",)
# From 3.11 the specialiser can look a name up in a plain class's instance
# dict while it holds that dict and the class without a reference (3.15
# crashed so): there only the exception objects' classic instance dicts are
# rebound or have their class replaced; a class-level key may still rebind a
# dict, which is read after the class.
SPECIALISED = sys.version_info >= (3, 11)
CLASSIC = ("runner", "commons", "msg")
HOSTS = {"RunnerCore": RunnerCore, "commons": commons}
HOST_NAMES = {"RunnerCore": ("plugin_run", "get_plugin_list"), "commons": ("CorvelError", "dict_obj")}
BASE_NS = [(k, v) for k, v in NS.items() if k not in HOSTS]
HOST_BASE = dict((n, list(vars(m).items())) for n, m in HOSTS.items())


class Collider(str):
    """Hashes like `name`; compared while armed, it logs, runs `effect` once, answers `truth`."""

    def __new__(cls, text, name, effect, truth, log):
        key = str.__new__(cls, text)
        key.name_hash, key.effect, key.truth, key.log, key.left = hash(name), effect, truth, log, 1
        return key

    def __hash__(self):
        return self.name_hash

    def __eq__(self, other):
        if not ARMED[0]:
            return str.__eq__(self, other)
        ARMED[0] = False  # what the effect looks up runs no key's effect
        try:
            if self.log is not None:
                self.log.append(str.__str__(self))
            if self.left:
                self.left -= 1
                self.effect()
        finally:
            ARMED[0] = True
        return self.truth


def plant(obj, keys):
    """Puts `keys` in obj's own dict; setattr keeps a str subclass name as it is."""
    armed, ARMED[0] = ARMED[0], False
    try:
        for key in keys:
            object.__setattr__(obj, key, None)
    finally:
        ARMED[0] = armed


def rebind_dict(o):
    """o.__dict__ = a copy of it, through Shell where the class hides `__dict__`."""
    for k in type(o).__mro__:
        d = vars(k).get("__dict__")
        if isinstance(d, types.GetSetDescriptorType):
            return d.__set__(o, d.__get__(o).copy())
    cls = type(o)
    object.__setattr__(o, "__class__", Shell)
    try:
        rebind_dict(o)
    finally:
        object.__setattr__(o, "__class__", cls)


class Family(object):
    """The objects of one class of a world, which planted keys change alike."""

    def __init__(self, members, moved=None):
        self.cls, self.members, self.moved = None, members, moved

    def live(self):
        return [o for o in self.members if type(o) is self.cls]

    def move(self):
        """The members' class replaced by an equal fresh one, the old one collected."""
        ns = vars(self.cls).copy()
        ns.pop("__dict__", None)
        ns.pop("__weakref__", None)
        fresh = type(self.cls.__name__, self.cls.__bases__, ns)
        for o in self.live():
            object.__setattr__(o, "__class__", fresh)
        old, self.cls = weakref.ref(self.cls), fresh
        if self.moved is not None:
            self.moved(fresh)
        gc.collect(1)
        if old() is not None:
            gc.collect()


def global_value(name, kind, w):
    if kind == "stub":
        return HOSTS[name]
    return w["gobj"][name] if kind == "exc" else types.SimpleNamespace()


def make_key(i, desc, w):
    """(key, name, before, truth) for a planted key's description."""
    where, owner, name, effect, truth, before = desc
    fam = w["fams"].get(owner)
    run = {"dict": lambda: [rebind_dict(o) for o in fam.live()], "class": lambda: fam.move(),
           "del": lambda: NS.pop(name, None), "clear": support.clear_type_cache, "gc": gc.collect,
           "none": lambda: None}.get(effect) or (lambda: NS.__setitem__(name, global_value(name, effect, w)))
    log = w["eqs"] if where in ("ns", "host") else None
    return Collider("~%s~%d" % (name, i), name, run, truth is not None, log), name, before, truth


def lay(d, items, planted):
    """Refills `d` in a fixed order: each name after the keys planted before it."""
    d.clear()
    present = set(k for k, v in items)
    for k, v in items:
        for key, name, before, value in planted:
            if before and name == k:
                d[key] = value
        d[k] = v
    for key, name, before, value in planted:
        if not before or name not in present:
            d[key] = value


def lay_hosts(keys):
    for n, m in HOSTS.items():
        lay(vars(m), HOST_BASE[n], keys.get(("host", n), []))


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
        return w["Args"](**dict((k, build(v, w)) for k, v in desc[1]))
    if kind == "xmsg":
        msgs = w["fams"]["msg"]
        o = msgs.cls(desc[1])
        msgs.members.append(o)
        plant(o, w["at"]("inst", "msg"))
        return o
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


# Classes with an instance dict of the classic kind, whose objects serve as
# globals and as a reply's "msg".
FAMILY_CLASSES = {"runner": type("Runner", (Exception,), {}), "commons": type("Commons", (Exception,), {}),
                  "msg": type("Msg", (Exception,), {"find": lambda self, sub: self.args[0].find(sub)}),
                  "cache": OddCache}


class SeqCache(collections.deque):
    """Item access by position only; claims every key."""

    def keys(self):
        return hostile("all", {"contains": True})


def materialize(case, world):
    """Install the case's globals and build its objects for one world."""
    cls = addonGate.Plugin if world == "real" else model.Plugin
    w = {"world": world, "cls": cls, "reads": [], "eqs": []}
    fams = w["fams"] = dict((f, Family([])) for f in NAMES)

    def request_class(c):
        commons.dict_obj = w["Args"] = c
    fams["req"] = Family(commons.made, request_class)
    keys = {}
    for i, desc in enumerate(case["plants"]):
        keys.setdefault(desc[:2], []).append(make_key(i, desc, w))

    def at(where, owner, before=None):
        return [k[0] for k in keys.get((where, owner), ()) if before is None or k[2] == before]
    w["at"] = at
    lay_hosts(keys)
    RunnerCore.reset()
    commons.reset()
    # The request class of this world, which the state changes may alter.
    ns = dict.fromkeys(at("cls", "req"))
    if at("inst", "req"):
        def __init__(self, **values):
            plant(self, at("inst", "req", True))
            DictObj.__init__(self, **values)
            plant(self, at("inst", "req", False))
        ns["__init__"] = __init__
    request_class(type("Args", (DictObj,), ns))
    fams["req"].cls = w["Args"]
    for fam, base in FAMILY_CLASSES.items():
        # A class of this world's own only where keys are planted for it:
        # making classes costs, and so does collecting them.
        own = any(k[1] == fam for k in keys)
        fams[fam].cls = type(base.__name__, (base,), dict.fromkeys(at("cls", fam))) if own else base

    def member(fam, attrs, *args):
        o = fams[fam].cls(*args)
        fams[fam].members.append(o)
        plant(o, at("inst", fam, True))
        for k, v in attrs:
            object.__setattr__(o, k, v)
        plant(o, at("inst", fam, False))
        return o
    w["gobj"] = {"RunnerCore": member("runner", [("plugin_run", RunnerCore.plugin_run),
                                                 ("get_plugin_list", RunnerCore.get_plugin_list)]),
                 "commons": member("commons", [("CorvelError", commons.CorvelError),
                                               ("dict_obj", lambda: w["Args"]())])}
    reply = build(case["reply"], w)

    def handler(*a):
        if case["runner_raises"]:
            boom("runner")
        return reply
    RunnerCore.handler = handler
    g = {"RunnerCore": RunnerCore, "commons": commons}
    for name in ("RunnerCore", "commons"):
        if hasattr(builtins, name):
            delattr(builtins, name)
    rc = case["rc"]
    if rc in ("missing", "builtins"):
        del g["RunnerCore"]
        if rc == "builtins":
            builtins.RunnerCore = RunnerCore
    elif rc == "noattr":
        g["RunnerCore"] = types.SimpleNamespace()
    elif rc == "notcallable":
        g["RunnerCore"] = types.SimpleNamespace(plugin_run=5, get_plugin_list="x")
    elif rc == "exc":
        g["RunnerCore"] = w["gobj"]["RunnerCore"]
    cm = case["cm"]
    if cm == "missing":
        del g["commons"]
    elif cm == "custom":
        ns = types.SimpleNamespace()
        c, d = corvel(case["corvel"]), dict_obj_kind(case["dict_obj"])
        if c is not None:
            ns.CorvelError = c
        if d is not None:
            ns.dict_obj = d
        g["commons"] = ns
    elif cm == "exc":
        g["commons"] = w["gobj"]["commons"]
    # The same layout in both worlds, so that the same keys are compared.
    lay(NS, BASE_NS + [(n, g[n]) for n in ("RunnerCore", "commons") if n in g],
        [(k, n, b, t and global_value(n, t, w)) for k, n, b, t in keys.get(("ns", None), [])])
    pc = case["plugin"]
    base = cls
    sub_ns = dict.fromkeys(at("cls", "plugin"))
    if pc["cls"] == "getfun":
        sub_reply = build(pc["sub_reply"], w)

        def get_fun(self, def_name):
            if pc["sub_raises"]:
                boom("sub get_fun")
            return sub_reply
        base = type("SubPlugin", (cls,), dict(sub_ns, get_fun=get_fun))
    elif pc["cls"] == "sub":
        base = type("SubPlugin", (cls,), sub_ns)
    elif pc["cls"] == "setattr":
        base = type("SubPlugin", (cls,), dict(sub_ns, __setattr__=lambda self, k, v: boom("setattr")))
    elif pc["cls"] == "watched":
        def __getattribute__(self, name):
            w["reads"].append(name)
            return object.__getattribute__(self, name)
        base = type("SubPlugin", (cls,), dict(sub_ns, __getattribute__=__getattribute__))
    p = base.__new__(base)
    fams["plugin"].cls, fams["plugin"].members = base, [p]
    plant(p, at("inst", "plugin", True))
    object.__setattr__(p, "_Plugin__plugin_name", build(pc["name"], w))
    if pc["delname"]:
        object.__delattr__(p, "_Plugin__plugin_name")
    if pc["php"] is not None:
        object.__setattr__(p, "_Plugin__is_php", build(pc["php"], w))
    if pc["cache"] is not None:
        if pc["cache"] == "seq":
            cache = SeqCache(["x"])
        else:
            cache = member("cache", [], *pc["cache"])
        object.__setattr__(p, "_Plugin__obj_dict", cache)
    plant(p, at("inst", "plugin", False))
    w["p"] = p
    w["calls"] = []
    for how, meth, args, kw in case["calls"]:
        w["calls"].append((how, meth, [build(a, w) for a in args],
                           None if kw is None else dict((build(k, w), build(v, w)) for k, v in kw)))
    return w


def restore():
    lay_hosts({})
    RunnerCore.reset()
    commons.reset()
    for cls in (addonGate.Plugin, model.Plugin):
        cls._Plugin__plugin_name, cls._Plugin__is_php = None, False
    lay(NS, BASE_NS + list(HOSTS.items()), [])
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
        return ("dict_obj",) + tuple(sorted(((describe(k), describe(v, depth + 1)) for k, v in vars(o).items()),
                                            key=repr))
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
        ARMED[0] = True
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
            got = None
        except Exception as e:
            got = e
        finally:
            ARMED[0] = False
        if got is None:
            outcomes.append(("ok", describe(res)))
        else:
            outcomes.append(("err", type(got).__name__, describe(got.args), model.entries(got)))
    p = w["p"]
    own = None
    if case["plugin"]["cache"] is not None:
        own = describe(object.__getattribute__(p, "_Plugin__obj_dict"))
    obs = {"outcomes": outcomes, "runner": [describe(c) for c in RunnerCore.calls], "reads": w["reads"],
           "eqs": w["eqs"], "cache": describe(cls._Plugin__obj_dict), "own": own,
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
                         gen_hostile(r, "msg", ["find"]),
                         ("xmsg", r.choice(["x加载失败y", "Traceback (most recent call last): x", "fine"]))])
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
    case = {"rc": r.choice(["stub"] * 12 + ["missing", "builtins", "noattr", "notcallable", "exc", "exc"]),
            "cm": r.choice(["stub"] * 4 + ["missing", "custom", "custom", "exc"]),
            "corvel": r.choice(["cls", "str", "keyerror", "int", "inst", "badnew", "initraise", "none"]),
            "dict_obj": r.choice(["stub", "object", "int", "raise", "none"]),
            "reply": gen_value(r, "reply"), "runner_raises": r.random() < 0.1,
            "plugin": plugin, "calls": calls, "churn": [gen_churn(r) for _ in calls]}
    case["plants"] = gen_plants(r, case)
    return case


def gen_plants(r, case):
    """Keys to plant: (where, owner, name, effect, truth, before). A key in the module
    namespace may set the global to, or answer True with, "exc", "empty" or "stub"."""
    fams = ["req", "req", "plugin"] + [f for f, on in (
        ("runner", case["rc"] == "exc"), ("commons", case["cm"] == "exc"), ("msg", "xmsg" in repr(case["reply"])),
        ("cache", type(case["plugin"]["cache"]) is tuple)) if on]
    plain = case["plugin"]["cls"] == "plain"
    out = []
    for _ in range(r.choice([0, 0, 0, 1, 1, 2, 3])):
        where, before = r.choice(["ns", "host", "cls", "cls", "inst", "inst"]), r.random() < 0.7
        if where == "ns":
            out.append((where, None, r.choice(["RunnerCore", "commons"]), r.choice(
                ["del", "del", "exc", "empty", "stub", "clear", "gc", "none"]),
                r.choice([None, None, "exc", "empty", "stub"]), before))
            continue
        if where == "host":
            owner = r.choice(sorted(HOST_NAMES))
            out.append((where, owner, r.choice(HOST_NAMES[owner]), r.choice(["clear", "gc", "none"]), None, before))
            continue
        fam = r.choice(fams)
        if fam == "plugin" and plain:
            where = "inst"
        name = r.choice(NAMES[fam])
        effects = ["clear", "gc", "none"]
        held = SPECIALISED and fam not in CLASSIC
        if where == "cls" or not (name in STORED or held):
            effects += ["dict"] * 2
        if not (name in KEEP_CLASS or held or fam == "plugin" and plain):
            effects += ["class"] * 2
        out.append((where, fam, name, r.choice(effects), None, before))
    return out


# ---------------------------------------------------------------- driving

def run_case(case):
    real = run_world(case, "real")
    mod = run_world(case, "model")
    return real, mod


def diff(real, mod):
    out = []
    for key in ("outcomes", "runner", "reads", "eqs", "cache", "own", "name"):
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
