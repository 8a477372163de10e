"""Pure-Python reference for the observable behaviour of addonGate.Plugin.

Every method is a plain function taking the raw positional tuple and the
keyword dict (or None), exactly as the native entry points receive them.
Each function keeps two locals, `_entry` and `_line`; `entries()` turns the
traceback of an exception raised here into the (file, name, line) entries
the native module would have added, keeping foreign frames unchanged.
"""
import builtins
import sys

FILE_NAME = "class\\addonGate" if sys.version_info[:2] == (3, 6) else "corvel-win\\corvel\\class\\addonGate"
EMPTY_NAME_MSG = "参数错误,plugin_name少需要一个有效参数"
_VALUE_ERROR = ValueError
_NO_DEFAULT = object()

# Module globals are looked up here first, then in builtins; the checker
# points this at the namespace it manipulates.
namespace = {}


def lookup_global(name):
    if name in namespace:
        return namespace[name]
    try:
        return getattr(builtins, name)
    except AttributeError:
        pass
    raise NameError("name '%s' is not defined" % name)


def _is_exc_class(x):
    return isinstance(x, type) and issubclass(x, BaseException)


def raise_object(x):
    if isinstance(type(x), type) and issubclass(type(x), BaseException) or _is_exc_class(x):
        raise x  # the interpreter's own raise does the instantiation check
    raise TypeError("raise: exception class must be a subclass of BaseException")


def _count_error(name, r, k, given):
    if r == k:
        word, cnt = "exactly", r
    elif given < r:
        word, cnt = "at least", r
    else:
        word, cnt = "at most", k
    return TypeError("%s() takes %s %d positional argument%s (%d given)"
                     % (name, word, cnt, "" if cnt == 1 else "s", given))


def bind(name, params, r, default, args, kw):
    k = len(params)
    n = len(args)
    if kw is None:
        if n < r or n > k:
            raise _count_error(name, r, k, n)
        return list(args) + [default] * (k - n)
    if n > k:
        raise _count_error(name, r, k, n)
    vals = list(args) + [_NO_DEFAULT] * (k - n)
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


def init(args, kw):
    _entry, _line = "addonGate.Plugin.__init__", 25
    self, name = bind("__init__", ("self", "init_plugin_name"), 1, None, args, kw)
    if name is not False:
        _line = 33
        if not name:
            _line = 34
            raise_object(_VALUE_ERROR(EMPTY_NAME_MSG))
    _line = 35
    setattr(self, "_Plugin__plugin_name", name)


def get_plugin_list(args, kw):
    _entry, _line = "addonGate.Plugin.get_plugin_list", 37
    self, upgrade_force = bind("get_plugin_list", ("self", "upgrade_force"), 1, False, args, kw)
    _line = 44
    force = 1 if upgrade_force else 0
    _line = 45
    return getattr(lookup_global("RunnerCore"), "get_plugin_list")(force)


def exec_fun(args, kw):
    _entry, _line = "addonGate.Plugin.exec_fun", 48
    self, get_args, def_name = bind("exec_fun", ("self", "get_args", "def_name"), 2, None, args, kw)
    _line = 56
    if not def_name:
        _line = 57
        def_name = getattr(get_args, "get")("s", "")
    _line = 59
    run = getattr(lookup_global("RunnerCore"), "plugin_run")
    res = run(getattr(self, "_Plugin__plugin_name"), def_name, get_args)
    _line = 61
    if not issubclass(type(res), dict) or not ("status" in res and res["status"] == False and "msg" in res):
        return res
    _line = 63
    if res["msg"].find("加载失败") != -1 or res["msg"].find("Traceback ") == 0:
        _line = 64
        err = getattr(lookup_global("commons"), "CorvelError")
        raise_object(err(res["msg"]))
    return res


def get_fun(args, kw):
    _entry, _line = "addonGate.Plugin.get_fun", 68
    self, def_name = bind("get_fun", ("self", "def_name"), 2, None, args, kw)
    _line = 75
    keys = getattr(self, "_Plugin__obj_dict").keys()
    key = (getattr(self, "_Plugin__plugin_name"), def_name)
    if key in keys:
        _line = 76
        return getattr(self, "_Plugin__obj_dict")[key]
    _line = 77
    get_args = getattr(lookup_global("commons"), "dict_obj")()
    _line = 78
    setattr(get_args, "plugin_get_object", 1)
    _line = 80
    run = getattr(lookup_global("RunnerCore"), "plugin_run")
    return run(getattr(self, "_Plugin__plugin_name"), def_name, get_args)


def isdef(args, kw):
    _entry, _line = "addonGate.Plugin.isdef", 83
    self, def_name = bind("isdef", ("self", "def_name"), 2, None, args, kw)
    _line = 90
    if getattr(self, "_Plugin__is_php"):
        return True
    _line = 91
    value = getattr(self, "get_fun")(def_name)
    cache = getattr(self, "_Plugin__obj_dict")
    key = (getattr(self, "_Plugin__plugin_name"), def_name)
    cache[key] = value
    _line = 92
    return True if getattr(self, "_Plugin__obj_dict")[key] else False


def dir_(args, kw):
    if kw:
        raise TypeError("__dir__() takes no keyword arguments")
    if len(args) != 1:
        raise TypeError("__dir__() takes exactly one argument (%d given)" % len(args))
    return ""


BODIES = {"__init__": init, "get_plugin_list": get_plugin_list, "exec_fun": exec_fun,
          "get_fun": get_fun, "isdef": isdef, "__dir__": dir_}


class _Method(object):
    """Binds like a function; calls go straight to the body with raw args."""

    def __init__(self, name):
        self.name = name

    def __get__(self, inst, owner=None):
        if inst is None:
            return self
        return _Bound(self.name, inst)

    def __call__(self, *args, **kw):
        return BODIES[self.name](args, kw or None)


class _Bound(object):
    def __init__(self, name, inst):
        self.name, self.inst = name, inst

    def __call__(self, *args, **kw):
        return BODIES[self.name]((self.inst,) + args, kw or None)


class Plugin(object):
    _Plugin__plugin_name = None
    _Plugin__is_php = False
    __dict__ = None
    _Plugin__obj_dict = {}
    __init__ = _Method("__init__")
    get_plugin_list = _Method("get_plugin_list")
    exec_fun = _Method("exec_fun")
    get_fun = _Method("get_fun")
    isdef = _Method("isdef")
    __dir__ = _Method("__dir__")


def call(cls, how, name, args, kw):
    """Model of `cls(*args, **kw)` (how == "new"), `getattr(args[0], name)(*args[1:], **kw)`
    ("bound") or `getattr(cls, name)(*args, **kw)` ("class"), with kw passed as is."""
    if how == "new":
        obj = cls.__new__(cls)
        BODIES["__init__"]((obj,) + tuple(args), kw)
        return obj
    return BODIES[name](tuple(args), kw)


_OWN_FILE = init.__code__.co_filename


def entries(exc, skip_first=True):
    """(file, name, line) of the frames an exception passed, model frames mapped."""
    out = []
    tb = exc.__traceback__
    if skip_first and tb is not None:
        tb = tb.tb_next
    while tb is not None:
        frame = tb.tb_frame
        code = frame.f_code
        if code.co_filename == _OWN_FILE:
            loc = frame.f_locals
            if "_entry" in loc:
                out.append((FILE_NAME, loc["_entry"], loc["_line"]))
        else:
            out.append((code.co_filename, code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return out
