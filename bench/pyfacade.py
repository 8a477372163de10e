"""The Plugin class as a host developer would write it in plain Python.

It makes the same calls into RunnerCore and commons as the native module,
in the same order, gives the same results and keeps the same shared object
cache, so the benchmark can tell what the native module saves over it.
`bench.py --check` holds it and the native class to tests/model.py, the
module's exact rendering; only binding messages are the interpreter's here.
"""
import commons
import RunnerCore


class Plugin:
    __plugin_name = None
    __is_php = False
    # Present in the class namespace, so instances get no __dict__ accessor:
    # vars(p) is None and the plugin name stays out of sight.
    __dict__ = None
    # Shared by every Plugin of the process, keyed by (plugin name, method name).
    __obj_dict = {}

    def __init__(self, init_plugin_name=None):
        # False is a valid name: it means "no plugin" (used for the plugin list).
        if init_plugin_name is not False and not init_plugin_name:
            raise ValueError("参数错误,plugin_name少需要一个有效参数")
        self.__plugin_name = init_plugin_name

    def get_plugin_list(self, upgrade_force=False):
        force = 1 if upgrade_force else 0
        return RunnerCore.get_plugin_list(force)

    def exec_fun(self, get_args, def_name=None):
        if not def_name:
            def_name = get_args.get("s", "")
        res = RunnerCore.plugin_run(self.__plugin_name, def_name, get_args)
        if isinstance(res, dict) and "status" in res and res["status"] == False and "msg" in res:
            # A load failure or a crash report is an error for the host, not a reply.
            if res["msg"].find("加载失败") != -1 or res["msg"].find("Traceback ") == 0:
                raise commons.CorvelError(res["msg"])
        return res

    def get_fun(self, def_name):
        keys = self.__obj_dict.keys()
        key = (self.__plugin_name, def_name)
        if key in keys:
            return self.__obj_dict[key]
        get_args = commons.dict_obj()
        get_args.plugin_get_object = 1
        return RunnerCore.plugin_run(self.__plugin_name, def_name, get_args)

    def isdef(self, def_name):
        if self.__is_php:
            return True
        value = self.get_fun(def_name)
        cache = self.__obj_dict
        key = (self.__plugin_name, def_name)
        cache[key] = value
        return True if self.__obj_dict[key] else False

    def __dir__(self):
        return ""
