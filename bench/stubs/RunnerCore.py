"""Cheap stand-in for the host's plugin runner, for timing only.

`plugin_run` hands back `reply`, a value made in advance, so that a timed
call measures the facade and not the runner. `use(mode)` picks the reply:

    "ok"      a successful reply (a dict whose status is True)
    "fail"    a load-failure reply, which the facade raises as CorvelError
    "crash"   a crash report ("Traceback ..."), also raised
    "method"  a callable, what the runner hands back for plugin_get_object
    "none"    None, what it hands back for an unknown method

Both facades read `RunnerCore.plugin_run` at every call, so a checker may
swap in a recording function and put the original back afterwards.
"""


def _method(*args, **kwargs):
    return "called"


REPLIES = {
    "ok": {"status": True, "msg": "ok", "data": [1, 2, 3]},
    "fail": {"status": False, "msg": "插件[demo]加载失败: no module named demo"},
    "crash": {"status": False,
              "msg": "Traceback (most recent call last):\n  File \"demo\"\nZeroDivisionError: division by zero"},
    "method": _method,
    "none": None,
}

reply = REPLIES["ok"]
plugin_list = {"demo": {"title": "demo", "version": "1.0"}}


def use(mode):
    global reply
    reply = REPLIES[mode]


def plugin_run(plugin_name, def_name, get_args):
    return reply


def get_plugin_list(force):
    return plugin_list
