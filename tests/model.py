"""The pure-Python rendering of addonGate.Plugin, line for line.

The class below is what the header comment of class/plugin.cpp shows, and
tests/test_model.py keeps the two texts equal. Each statement that can fail
carries the source line the module reports for it (`# 61`); a call binds
its arguments by the module's rules, not the interpreter's. The fuzz runs
it beside the native class and bench/bench.py --check runs the benchmark's
plain facade against it.

    model.namespace = vars(addonGate)     # where the model reads its globals
    model.call(model.Plugin, "bound", "isdef", [p, "m"], None)
    model.entries(exc)                    # the module's traceback entries
"""
import builtins
import operator
import re
import sys
import types

# From 3.9 a vectorcall's keyword names must be strings, checked by the
# interpreter before the callee runs.
VECTORCALL_NAMES_CHECKED = sys.version_info >= (3, 9)
# The 3.6 build keeps that release's rules, its traceback file name among
# them (class/build_rules.h); tests/support.py takes both from here.
LEGACY_BUILD = sys.version_info[:2] == (3, 6)
FILE_NAME = "class\\addonGate" if LEGACY_BUILD else "corvel-win\\corvel\\class\\addonGate"
VALUE_ERROR = ValueError  # captured once, as start-up captures it
_SLOT_WRAPPER = type(object.__init__)  # a C type's own slot, as `__getitem__` of a deque

# Module globals are looked up here first, then in builtins; the checker
# points this at the namespace it manipulates.
namespace = {}


_ABSENT = object()


def lookup_global(name):
    # One read of the namespace, as the module makes it, so that a key whose
    # __eq__ does something is compared as often here as there.
    value = namespace.get(name, _ABSENT)
    if value is not _ABSENT:
        return value
    try:
        return getattr(builtins, name)
    except AttributeError:
        pass
    raise NameError("name '%s' is not defined" % name)


def raise_object(x):
    if issubclass(type(x), BaseException) or isinstance(x, type) and issubclass(x, BaseException):
        raise x  # the interpreter's own raise does the instantiation check
    raise TypeError("raise: exception class must be a subclass of BaseException")


def get_item(o, key):
    """`o[key]`, except that where `o` has only sequence item access the key
    goes through index conversion, with that conversion's own error."""
    try:
        return o[key]
    except TypeError as exc:
        sequence_only = type(getattr(type(o), "__getitem__", None)) is _SLOT_WRAPPER
        if not (sequence_only and str(exc).startswith("sequence index must be integer")):
            raise
    operator.index(key)
    raise AssertionError("index conversion of %r did not fail" % (key,))


class Plugin(object):                                                 # 18
    __plugin_name = None                                              # 19
    __is_php = False                                                  # 20
    __dict__ = None                                                   # 21
    __obj_dict = {}                                                   # 22

    def __init__(self, init_plugin_name=None):                        # 25
        if init_plugin_name is not False and not init_plugin_name:    # 33
            raise_object(VALUE_ERROR("参数错误,plugin_name少需要一个有效参数"))  # 34
        self.__plugin_name = init_plugin_name                         # 35

    def get_plugin_list(self, upgrade_force=False):                   # 37
        force = 1 if upgrade_force else 0                             # 44
        return lookup_global("RunnerCore").get_plugin_list(force)     # 45

    def exec_fun(self, get_args, def_name=None):                      # 48
        if not def_name:                                              # 56
            def_name = get_args.get("s", "")                          # 57
        run = lookup_global("RunnerCore").plugin_run                  # 59
        res = run(self.__plugin_name, def_name, get_args)             # 59
        if not (issubclass(type(res), dict) and "status" in res       # 61
                and res["status"] == False and "msg" in res):         # 61
            return res
        if res["msg"].find("加载失败") != -1 or res["msg"].find("Traceback ") == 0:  # 63
            raise_object(lookup_global("commons").CorvelError(res["msg"]))  # 64
        return res

    def get_fun(self, def_name):                                      # 68
        keys = self.__obj_dict.keys()                                 # 75
        key = (self.__plugin_name, def_name)                          # 75
        if key in keys:                                               # 75
            return get_item(self.__obj_dict, key)                     # 76
        get_args = lookup_global("commons").dict_obj()                # 77
        get_args.plugin_get_object = 1                                # 78
        run = lookup_global("RunnerCore").plugin_run                  # 80
        return run(self.__plugin_name, def_name, get_args)            # 80

    def isdef(self, def_name):                                        # 83
        if self.__is_php:                                             # 90
            return True
        value = self.get_fun(def_name)                                # 91
        cache = self.__obj_dict                                       # 91
        key = (self.__plugin_name, def_name)                          # 91
        cache[key] = value                                            # 91
        return True if get_item(self.__obj_dict, key) else False      # 92

    def __dir__(self):                                                # 94
        return ""


# ---------------------------------------------------------------- calls

_REQUIRED = object()


class _Method(object):
    """The method object: binds like a function, and a call binds its
    arguments by the module's rules before the body runs."""

    def __init__(self, body):
        code = body.__code__
        self.body = body
        self.name = body.__name__
        self.params = code.co_varnames[:code.co_argcount]
        self.default = body.__defaults__[0] if body.__defaults__ else _REQUIRED
        self.single = self.name == "__dir__"  # takes exactly the instance, no keywords
        self.entry = "addonGate.Plugin." + self.name
        self.def_line = _LINES[code.co_firstlineno]

    def __get__(self, inst, owner=None):
        return self if inst is None else types.MethodType(self, inst)

    def __call__(self, *args, **kw):
        return invoke(self, args, kw or None)


def invoke(method, args, kw):
    if method.single:
        if kw:
            raise TypeError("%s() takes no keyword arguments" % method.name)
        if len(args) != 1:
            raise TypeError("%s() takes exactly one argument (%d given)" % (method.name, len(args)))
        return method.body(*args)
    values = bind(method, args, kw)
    return method.body(*values)


def _count_error(name, r, k, given):
    if r == k:
        word, cnt = "exactly", r
    elif given < r:
        word, cnt = "at least", r
    else:
        word, cnt = "at most", k
    return TypeError("%s() takes %s %d positional argument%s (%d given)"
                     % (name, word, cnt, "" if cnt == 1 else "s", given))


def bind(method, args, kw):
    name, params, default = method.name, method.params, method.default
    k = len(params)
    r = k if default is _REQUIRED else k - 1
    n = len(args)
    if kw is None:
        if n < r or n > k:
            raise _count_error(name, r, k, n)
        return list(args) + [default] * (k - n)
    if n > k:
        raise _count_error(name, r, k, n)
    vals = list(args) + [_REQUIRED] * (k - n)
    if k > r and n < k:
        vals[k - 1] = default
    left = len(kw)
    for i in range(n, r):
        if params[i] not in kw:
            raise _count_error(name, r, k, n if i == 0 else i)
        vals[i] = kw[params[i]]
        left -= 1
    if k > r and k - 1 >= n and left > 0 and params[k - 1] in kw:
        vals[k - 1] = kw[params[k - 1]]
        left -= 1
    if left > 0:
        for key, value in dict.items(kw):
            hit = [i for i in range(n, k) if key is params[i]]
            if hit:
                vals[hit[0]] = value
                continue
            if not isinstance(key, str):
                raise TypeError("%s() keywords must be strings" % name)
            text = str.__str__(key)
            hit = [i for i in range(n, k) if text == params[i]]
            if hit:
                vals[hit[0]] = value
                continue
            if text in params[:n]:
                raise TypeError("%s() got multiple values for keyword argument '%s'" % (name, text))
            raise TypeError("%s() got an unexpected keyword argument '%s'" % (name, text))
    return vals


def _line_tags():
    """Line of this file -> the source line its `# N` tag names."""
    tags = {}
    with open(invoke.__code__.co_filename, encoding="utf-8") as source:
        for number, text in enumerate(source, 1):
            found = re.search(r"#\s*(\d+)\s*$", text)
            if found:
                tags[number] = int(found.group(1))
    return tags


_LINES = _line_tags()
METHODS = ("__init__", "get_plugin_list", "exec_fun", "get_fun", "isdef", "__dir__")
for _name in METHODS:
    setattr(Plugin, _name, _Method(vars(Plugin)[_name]))
_BODIES = dict((vars(Plugin)[name].body.__code__, vars(Plugin)[name]) for name in METHODS)


def call(cls, how, name, args, kw):
    """Model of `cls(*args, **kw)` (how == "new"), `getattr(args[0], name)(*args[1:], **kw)`
    ("bound") or `getattr(cls, name)(*args, **kw)` ("class"), with kw passed as is."""
    if how != "new" and kw and VECTORCALL_NAMES_CHECKED and \
            not all(isinstance(key, str) for key in dict.keys(kw)):
        # The interpreter refuses these before the method object is reached.
        raise TypeError("keywords must be strings")
    if how == "new":
        obj = cls.__new__(cls)
        invoke(vars(Plugin)["__init__"], (obj,) + tuple(args), kw)
        return obj
    return invoke(vars(Plugin)[name], tuple(args), kw)


def entries(exc, skip_first=True):
    """(file, name, line) of the frames an exception passed, the model's own
    frames turned into the entries the module adds."""
    out = []
    tb = exc.__traceback__
    if skip_first and tb is not None:
        tb = tb.tb_next
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename != invoke.__code__.co_filename:
            out.append((code.co_filename, code.co_name, tb.tb_lineno))
        elif code in _BODIES:
            out.append((FILE_NAME, _BODIES[code].entry, _LINES[tb.tb_lineno]))
        elif code is invoke.__code__ and tb.tb_next is not None \
                and tb.tb_next.tb_frame.f_code is bind.__code__:
            method = tb.tb_frame.f_locals["method"]
            out.append((FILE_NAME, method.entry, method.def_line))
        tb = tb.tb_next
    return out
