# One round of tests/embed/restart.cpp: start-up, calls, failure entries, the
# same module on re-import and reload, a sub-interpreter refused. An import
# the module refuses as a change of interpreter leaves a result text of its
# own, which restart.cpp expects in some rounds and fails in the others.
import importlib
import json
import sys

import commons
import RunnerCore

from subinterp import run_in_subinterpreter


def entries(exc):
    out, tb = [], exc.__traceback__.tb_next
    while tb is not None:
        code = tb.tb_frame.f_code
        out.append([code.co_filename, code.co_name, tb.tb_lineno])
        tb = tb.tb_next
    return out


def failure(fn, *args):
    try:
        fn(*args)
    except Exception as exc:
        return [type(exc).__name__, str(exc), entries(exc)]
    return None


REFUSAL = ("Interpreter change detected - this module can only be loaded into one "
           "interpreter per process.")


def use(addonGate):
    out = {"plugin": repr(addonGate.Plugin), "names": sorted(n for n in vars(addonGate)
                                                             if not n.startswith("__"))}
    p = addonGate.Plugin("demo")
    RunnerCore.reply = {"status": True, "msg": "hi"}
    out["exec"] = p.exec_fun(commons.dict_obj(), "index")
    out["isdef"] = p.isdef("index")
    RunnerCore.reply = {"status": False, "msg": "插件 demo 加载失败"}
    out["load_failure"] = failure(p.exec_fun, commons.dict_obj(), "index")
    out["binding"] = failure(addonGate.Plugin.isdef, p)
    out["empty_name"] = failure(addonGate.Plugin, "")
    out["runner_calls"] = [list(c[:3]) for c in RunnerCore.calls]

    module, cache = addonGate, addonGate.Plugin._Plugin__obj_dict
    del sys.modules["addonGate"]
    import addonGate
    out["same_after_reimport"] = addonGate is module
    out["same_after_reload"] = importlib.reload(addonGate) is module and \
        addonGate.Plugin._Plugin__obj_dict is cache

    import os, tempfile
    fd, path = tempfile.mkstemp()
    os.close(fd)
    if run_in_subinterpreter(
            "import json, sys\nsys.path[:0] = %r\ntry:\n    import addonGate\n    got = 'ok'\n"
            "except ImportError as exc:\n    got = str(exc)\nwith open(%r, 'w') as f:\n"
            "    json.dump(got, f)\n" % (sys.path, path)):
        with open(path) as f:
            out["subinterpreter"] = json.load(f)
    os.remove(path)

    return json.dumps(out, sort_keys=True, ensure_ascii=False)


try:
    import addonGate
except ImportError as exc:
    if str(exc) != REFUSAL:
        raise
    round_result = "import refused: " + str(exc)
else:
    round_result = use(addonGate)
