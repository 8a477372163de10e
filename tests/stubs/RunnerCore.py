"""Recording stand-in for the host's plugin runner.

Tests set `reply` (or `handler`, a callable taking the same arguments as the
call) and read back `calls`; `reset()` puts everything back. `use(mode)`
sets one of the runner's kinds of reply (REPLIES), and `quiet()`, for the
benchmarks, makes the calls hand back `reply` and `plugin_list` and record
nothing from then on, so that a timed call measures the facade and not this.
"""

calls = []
reply = None
handler = None
plugin_list = {"demo": {"title": "demo"}}


def reset():
    global reply, handler, plugin_list
    del calls[:]
    reply = None
    handler = None
    plugin_list = {"demo": {"title": "demo"}}


def plugin_run(plugin_name, def_name, get_args):
    calls.append(("plugin_run", plugin_name, def_name, get_args))
    if handler is not None:
        return handler(plugin_name, def_name, get_args)
    return reply


def get_plugin_list(force):
    calls.append(("get_plugin_list", force))
    if handler is not None:
        return handler(force)
    return plugin_list


def _method(*args, **kwargs):
    return "called"


# A successful reply, a load failure and a crash report (both raised as
# CorvelError), a method object (what the runner hands back for
# plugin_get_object), and None (an unknown method's).
REPLIES = {
    "ok": {"status": True, "msg": "ok", "data": [1, 2, 3]},
    "fail": {"status": False, "msg": "插件[demo]加载失败: no module named demo"},
    "crash": {"status": False,
              "msg": "Traceback (most recent call last):\n  File \"demo\"\nZeroDivisionError: division by zero"},
    "method": _method,
    "none": None,
}


def use(mode):
    global reply
    reply = REPLIES[mode]


def quiet():
    global plugin_run, get_plugin_list

    def plugin_run(plugin_name, def_name, get_args):
        return reply

    def get_plugin_list(force):
        return plugin_list
