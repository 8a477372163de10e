"""Many threads on shared and private Plugin objects, with a runner that
gives up the interpreter lock while it works."""
import os
import random
import sys
import threading
import time
import unittest

import addonGate
import commons
import support

SECONDS = float(os.environ.get("ADDONGATE_THREAD_SECONDS", "3"))
THREADS = 8
NAMES = ["m%d" % i for i in range(6)] + ["missing"]


class Boom(Exception):
    pass


def plugin_object(plugin, name):
    def method():
        return (plugin, name)
    return method


class Runner(object):
    """Deterministic runner: the same (plugin, name) always gives the same object."""

    def __init__(self, table):
        self.table = table

    def plugin_run(self, plugin, name, get_args):
        time.sleep(0.0001)
        if name == "boom":
            raise Boom(plugin)
        if getattr(get_args, "plugin_get_object", None) == 1:
            return self.table.get((plugin, name))
        if name == "fail":
            return {"status": False, "msg": "加载失败:" + plugin}
        return ("ran", plugin, name)

    def get_plugin_list(self, force):
        time.sleep(0.0001)
        return ("list", force)


class ThreadTest(support.ModuleTestCase):
    def test_threads(self):
        plugins = ["shared"] + ["own%d" % i for i in range(THREADS)]
        table = dict(((p, n), plugin_object(p, n)) for p in plugins for n in NAMES if n != "missing")
        runners = [Runner(table), Runner(table)]
        addonGate.RunnerCore = runners[0]
        shared = addonGate.Plugin("shared")
        errors, counts = [], [0] * THREADS
        stop = time.time() + SECONDS

        def check(cond, what):
            if not cond:
                errors.append(what)

        def worker(idx):
            rnd = random.Random(idx)
            own = addonGate.Plugin("own%d" % idx)
            while time.time() < stop and len(errors) < 20:
                p = shared if rnd.random() < 0.5 else own
                pn = "shared" if p is shared else "own%d" % idx
                name = rnd.choice(NAMES)
                op = rnd.randrange(9)
                try:
                    if op == 0:
                        check(p.exec_fun(commons.dict_obj(), name) == ("ran", pn, name), "exec_fun")
                    elif op == 1:
                        check(p.exec_fun(commons.dict_obj(s=name)) == ("ran", pn, name), "exec_fun from request")
                    elif op == 2:
                        check(p.get_fun(name) is table.get((pn, name)), "get_fun")
                    elif op == 3:
                        check(p.isdef(name) is ((pn, name) in table), "isdef")
                    elif op == 4:
                        force = rnd.random() < 0.5
                        check(p.get_plugin_list(force) == ("list", 1 if force else 0), "get_plugin_list")
                    elif op == 5:
                        check(p.__dir__() == "" and dir(p) == [], "__dir__")
                    elif op == 6:
                        try:
                            p.exec_fun(commons.dict_obj(), rnd.choice(["fail", "boom"]))
                            check(False, "no exception")
                        except commons.CorvelError as e:
                            check(e.args == ("加载失败:" + pn,), "CorvelError text")
                            check(support.module_entries(e) == [(support.FILE_NAME, "addonGate.Plugin.exec_fun", 64)],
                                  "CorvelError entry")
                        except Boom as e:
                            check(support.module_entries(e)[0] == (support.FILE_NAME, "addonGate.Plugin.exec_fun", 59),
                                  "runner error entry")
                    elif op == 7:
                        try:
                            p.isdef()
                            check(False, "no TypeError")
                        except TypeError as e:
                            check(support.module_entries(e) == [(support.FILE_NAME, "addonGate.Plugin.isdef", 83)],
                                  "binding entry")
                    else:
                        addonGate.RunnerCore = runners[rnd.randrange(2)]
                        check(addonGate.Plugin(pn).get_fun(name) is table.get((pn, name)), "after global swap")
                except Exception as e:  # anything unexpected is a failure, reported below
                    errors.append("%s: %r" % (op, e))
                counts[idx] += 1

        old = sys.getswitchinterval()
        sys.setswitchinterval(1e-5)
        try:
            threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        finally:
            sys.setswitchinterval(old)
        print("\nthreads: %d threads x %d calls (%d in all) in %.1fs"
              % (THREADS, sum(counts) // THREADS, sum(counts), SECONDS))
        self.assertEqual(errors, [])
        cache = addonGate.Plugin._Plugin__obj_dict
        self.assertTrue(cache)
        for key, value in cache.items():
            self.assertIs(value, table.get(key), key)


if __name__ == "__main__":
    unittest.main()
