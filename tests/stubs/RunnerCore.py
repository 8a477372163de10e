"""Recording stand-in for the host's plugin runner.

Tests set `reply` (or `handler`, a callable taking the same arguments as the
call) and read back `calls`; `reset()` puts everything back.
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
