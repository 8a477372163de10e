"""Reference plugin runner of the host; addonGate imports it by name.

A plugin is one folder under the plugin directory:

    <plugin dir>/<name>/manifest.json   JSON object: title, version, description,
                                        entry (code file, default "main.py")
    <plugin dir>/<name>/main.py         the plugin's code

The plugin's methods are the public functions its code file defines; each is
called with the request-argument object and returns the reply.

The plugin directory is, in order of preference: the last set_plugin_dir()
argument, the environment variable ADDONGATE_PLUGIN_DIR, the bundled samples
next to this file.

Requests are served from many threads: loading and listing are guarded by one
lock, and a loaded plugin is kept for the life of the process (or until the
plugin directory changes or reset() is called).
"""
import copy
import importlib.util
import inspect
import json
import os
import re
import sys
import threading
import traceback

PLUGIN_DIR_ENV = "ADDONGATE_PLUGIN_DIR"
DEFAULT_PLUGIN_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "plugins")
MANIFEST = "manifest.json"
DEFAULT_ENTRY = "main.py"

# \Z, not $: "$" would accept a trailing newline.
_PLUGIN_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_-]{0,63}\Z")
_METHOD_NAME = re.compile(r"[A-Za-z][A-Za-z0-9_]{0,63}\Z")
_ENTRY_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_]*\.py\Z")

# RLock: a plugin's code may ask the runner for another plugin while loading.
_lock = threading.RLock()
_explicit_dir = None
_state_dir = None     # directory the caches below belong to
_loaded = {}          # plugin name -> (module, manifest)
_plugin_list = None   # cached listing, rebuilt on force


class _LoadError(Exception):
    pass


def set_plugin_dir(path=None):
    """Choose the plugin directory (None: environment or bundled samples)."""
    global _explicit_dir
    with _lock:
        _explicit_dir = None if path is None else os.path.abspath(path)
        _sync_dir()


def get_plugin_dir():
    if _explicit_dir is not None:
        return _explicit_dir
    return os.path.abspath(os.environ.get(PLUGIN_DIR_ENV) or DEFAULT_PLUGIN_DIR)


def reset():
    """Forget every loaded plugin and the cached listing."""
    global _plugin_list
    with _lock:
        for module, _ in _loaded.values():
            sys.modules.pop(module.__name__, None)
        _loaded.clear()
        _plugin_list = None


def _sync_dir():
    # Caller holds the lock. Caches are only valid for one directory.
    global _state_dir
    current = get_plugin_dir()
    if current != _state_dir:
        reset()
        _state_dir = current
    return current


def valid_plugin_name(name):
    return isinstance(name, str) and _PLUGIN_NAME.match(name) is not None


def valid_method_name(name):
    return isinstance(name, str) and _METHOD_NAME.match(name) is not None


def _show(value):
    # repr of an untrusted value, bounded, and never raising
    try:
        return repr(value)[:80]
    except Exception:
        return "<%s>" % type(value).__name__


def _fail(msg):
    return {"status": False, "msg": msg}


def _read_manifest(folder):
    path = os.path.join(folder, MANIFEST)
    try:
        with open(path, "rb") as f:
            manifest = json.loads(f.read().decode("utf-8"))
    except (OSError, IOError):
        raise _LoadError("缺少 %s" % MANIFEST)
    except ValueError as e:
        raise _LoadError("%s 无效: %s" % (MANIFEST, e))
    if not isinstance(manifest, dict):
        raise _LoadError("%s 必须是 JSON 对象" % MANIFEST)
    return manifest


def _load(name):
    """The (module, manifest) of plugin `name`, loading it on first use."""
    entry = _loaded.get(name)
    if entry is not None and _state_dir == get_plugin_dir():
        return entry
    with _lock:
        folder = os.path.join(_sync_dir(), name)
        entry = _loaded.get(name)
        if entry is not None:
            return entry
        if not os.path.isdir(folder):
            raise _LoadError("插件不存在")
        manifest = _read_manifest(folder)
        entry_file = manifest.get("entry", DEFAULT_ENTRY)
        if not (isinstance(entry_file, str) and _ENTRY_NAME.match(entry_file)):
            raise _LoadError("entry 无效: %r" % (entry_file,))
        mod_name = "addongate_plugin_" + name.replace("-", "_")
        spec = importlib.util.spec_from_file_location(mod_name, os.path.join(folder, entry_file))
        module = importlib.util.module_from_spec(spec)
        sys.modules[mod_name] = module
        try:
            spec.loader.exec_module(module)
        except (Exception, SystemExit) as e:
            sys.modules.pop(mod_name, None)
            raise _LoadError("%s: %s" % (type(e).__name__, e))
        entry = _loaded[name] = (module, manifest)
        return entry


def _find_method(module, method_name):
    # Only functions the plugin's own code defines: not imported helpers,
    # modules or classes that happen to be reachable as attributes.
    func = getattr(module, method_name, None)
    if inspect.isfunction(func) and func.__module__ == module.__name__:
        return func
    return None


def plugin_run(plugin_name, def_name, get_args):
    """Run plugin_name.def_name(get_args) and return its reply.

    With get_args.plugin_get_object == 1 the method itself is returned
    instead (None when there is none). Failures never raise: a plugin or
    method that cannot be loaded gives {"status": False, "msg": "...加载失败..."},
    a method that raises gives {"status": False, "msg": <traceback>}.
    """
    want_object = getattr(get_args, "plugin_get_object", 0) == 1
    if not valid_plugin_name(plugin_name):
        return None if want_object else _fail("插件名称无效, 加载失败: " + _show(plugin_name))
    if not valid_method_name(def_name):
        return None if want_object else _fail(
            "插件 %s 的方法名称无效, 加载失败: %s" % (plugin_name, _show(def_name)))
    try:
        module, _ = _load(plugin_name)
    except _LoadError as e:
        return None if want_object else _fail("插件 %s 加载失败: %s" % (plugin_name, e))
    func = _find_method(module, def_name)
    if want_object:
        return func
    if func is None:
        return _fail("插件 %s 的方法 %s 加载失败: 方法不存在" % (plugin_name, def_name))
    try:
        return func(get_args)
    except (Exception, SystemExit):
        # A plugin must not take the host down; the host gets the crash report.
        return _fail(traceback.format_exc())


def get_plugin_list(force=0):
    """{name: manifest} of every plugin folder with a readable manifest.

    Built once and reused; force=1 rescans the directory. Callers get their
    own copy, so changing it cannot corrupt the cache.
    """
    global _plugin_list
    with _lock:
        root = _sync_dir()
        if force or _plugin_list is None:
            listing = {}
            try:
                names = sorted(os.listdir(root))
            except OSError:
                names = []
            for name in names:
                folder = os.path.join(root, name)
                if not valid_plugin_name(name) or not os.path.isdir(folder):
                    continue
                try:
                    manifest = _read_manifest(folder)
                except _LoadError:
                    continue
                info = {"title": name, "version": "", "description": ""}
                info.update(manifest)
                info["name"] = name
                listing[name] = info
            _plugin_list = listing
        return copy.deepcopy(_plugin_list)
