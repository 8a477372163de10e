"""Time the native Plugin against the pure-Python facade and the bare runner call.

Every operation is timed with timeit for the native module, the
pure-Python facade (pyfacade.py) and, for exec_fun, the direct call
RunnerCore.plugin_run(...) that a host could make with no facade at all.
The three are interleaved repeat by repeat, so that machine noise hits all
of them alike, and each repeat yields its own ratio; the table shows the
median of those ratios.

    python bench/bench.py                      # full run
    python bench/bench.py --quick              # a few seconds, for development
    python bench/bench.py --json out.json      # also write the figures
    python bench/bench.py --check              # do both facades agree with tests/model.py?
    python bench/bench.py --callgrind          # instruction counts (see callgrind.py)

Exit status: 0 after a full run (missed targets are reported, not fatal,
unless --strict); 1 with --strict when a target of this interpreter is
missed, or when --check finds a difference; 3 when the native module cannot
be imported (the pure-Python figures are still printed), unless
--python-only asked for the pure-Python side alone.
"""
import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TESTS = os.path.join(ROOT, "tests")  # model.py, the module's Python rendering
STUBS = os.path.join(TESTS, "stubs")

EXIT_STRICT = 1
EXIT_NO_NATIVE = 3

# The stubs must win over any other commons/RunnerCore on the path: both
# facades import them by name and must share the very same module objects.
for _p in (HERE, STUBS):
    if _p in sys.path:
        sys.path.remove(_p)
    sys.path.insert(0, _p)
# They record nothing here: whatever they cost is paid equally by the native
# module, the pure-Python facade and the direct runner call.
import commons  # noqa: E402
import RunnerCore  # noqa: E402
commons.quiet()
RunnerCore.quiet()
RunnerCore.use("ok")


# --------------------------------------------------------------------------
# Operations

OVERHEAD = "overhead"   # (native - direct) / (python - direct)
RATIO = "ratio"         # native / python
DIRECT = "direct"       # the bare runner call, shown for reference

TRY_CORVEL = """\
try:
    p.exec_fun(args, "index")
except CorvelError:
    pass"""

TRY_BIND = """\
try:
    p.isdef()
except TypeError:
    pass"""

DIRECT_STMT = 'RunnerCore.plugin_run("demo", "index", args)'

# name, label, kind, targets (3.8 to 3.10, 3.11 and later), statement,
# runner reply mode
_OPERATIONS = [
    ("construct", 'Plugin("demo")', RATIO, (0.55, 0.80), 'Plugin("demo")', "ok"),
    ("exec_index", 'exec_fun(args, "index")', OVERHEAD, (0.30, 0.50), 'p.exec_fun(args, "index")', "ok"),
    ("exec_request", "exec_fun(args)", OVERHEAD, (0.45, 0.60), "p.exec_fun(args)", "ok"),
    ("exec_corvel", "exec_fun -> CorvelError", RATIO, (0.60, 0.80), TRY_CORVEL, "fail"),
    ("get_fun_hit", 'get_fun("index"), cached', RATIO, (0.55, 0.80), 'p.get_fun("index")', "method"),
    ("isdef_hit", 'isdef("index"), cached', RATIO, (0.55, 0.80), 'p.isdef("index")', "method"),
    ("plugin_list", "get_plugin_list()", RATIO, (0.55, 0.80), "p.get_plugin_list()", "ok"),
    ("bind_error", "isdef() -> TypeError", RATIO, (0.60, 0.80), TRY_BIND, "ok"),
    ("direct", "RunnerCore.plugin_run(...)", DIRECT, None, DIRECT_STMT, "ok"),
]
# This interpreter's target of each operation.
OPERATIONS = [(name, label, kind, None if targets is None else targets[sys.version_info >= (3, 11)],
               stmt, mode) for name, label, kind, targets, stmt, mode in _OPERATIONS]

# Fresh locals for every timeit call; the cache entry that get_fun/isdef
# hit is made here (isdef stores the runner's reply for ("demo", "index")).
SETUP = """\
RunnerCore.use("method")
p = Plugin("demo")
p.isdef("index")
RunnerCore.use({mode!r})
args = dict_obj(s="index")"""


# --------------------------------------------------------------------------
# Finding the native module

def read_interpreters_tsv(build_dir):
    path = os.path.join(build_dir, "interpreters.tsv")
    rows = []
    if not os.path.isfile(path):
        return rows
    with open(path) as f:
        for line in f:
            parts = line.rstrip("\n").split("\t")
            if len(parts) >= 2 and parts[0] and not parts[0].startswith("#"):
                rows.append((parts[0], parts[1]))
    return rows


def same_interpreter(path):
    try:
        return os.path.samefile(path, sys.executable)
    except OSError:
        return False


def native_dir(args):
    """The folder that should hold this interpreter's build, and its tag."""
    if args.module_dir:
        return os.path.abspath(args.module_dir), args.tag or os.path.basename(args.module_dir.rstrip("/"))
    build = os.path.abspath(args.build_dir)
    for tag, interp in read_interpreters_tsv(build):
        if same_interpreter(interp):
            return os.path.join(build, tag), tag
    tag = "cp%d%d" % sys.version_info[:2]
    return os.path.join(build, tag), tag


def import_native(folder):
    """(module, None) or (None, reason)."""
    folder = os.path.abspath(folder)
    if not os.path.isdir(folder):
        return None, "no build folder %s" % folder
    sys.path.insert(0, folder)
    try:
        import addonGate
    except ImportError as exc:
        return None, "import addonGate failed: %s" % exc
    finally:
        sys.path.remove(folder)
    where = os.path.dirname(os.path.abspath(getattr(addonGate, "__file__", "") or ""))
    if where != folder:
        return None, "addonGate was imported from %s, not from %s" % (where, folder)
    return addonGate, None


# --------------------------------------------------------------------------
# Timing

def make_timer(stmt, mode, plugin_cls):
    import commons
    import RunnerCore
    env = {
        "Plugin": plugin_cls,
        "dict_obj": commons.dict_obj,
        "CorvelError": commons.CorvelError,
        "RunnerCore": RunnerCore,
    }
    return timeit.Timer(stmt, SETUP.format(mode=mode), globals=env)


def calibrate(timer, target):
    """Loops per repeat so that one timing lasts about `target` seconds."""
    number = 1
    while True:
        for factor in (1, 2, 5):
            n = number * factor
            if timer.timeit(n) >= target:
                return max(n, 10)
        number *= 10


def build_timers(impls, ops):
    """{op name: [(impl name, timer)]}; exec_fun groups carry their own direct call."""
    timers = {}
    for name, _label, kind, _target, stmt, mode in ops:
        group = []
        if kind == DIRECT:
            group.append(("direct", make_timer(stmt, mode, impls["python"])))
        else:
            for impl in ("native", "python"):
                if impl in impls:
                    group.append((impl, make_timer(stmt, mode, impls[impl])))
            if kind == OVERHEAD:
                group.append(("direct", make_timer(DIRECT_STMT, mode, impls["python"])))
        timers[name] = group
    return timers


def run_timings(timers, ops, repeat, number, target, inner, progress):
    numbers = {}
    for name, _label, _kind, _target, _stmt, _mode in ops:
        group = timers[name]
        for _impl, timer in group:
            timer.timeit(10)            # warm caches and the adaptive interpreter
        if number:
            numbers[name] = number
        else:
            # Calibrate on the slowest member so no timing is shorter than target.
            numbers[name] = min(calibrate(t, target) for _i, t in group)
    samples = dict((name, dict((impl, []) for impl, _t in timers[name])) for name in timers)
    for r in range(repeat):
        for name, _label, _kind, _target, _stmt, _mode in ops:
            group = timers[name]
            best = {}
            for i in range(inner):
                # Rotate the order so none always runs first; the best of the
                # inner rounds drops the rounds another process interrupted.
                k = (r * inner + i) % len(group)
                for impl, timer in group[k:] + group[:k]:
                    t = timer.timeit(numbers[name])
                    if impl not in best or t < best[impl]:
                        best[impl] = t
            for impl, t in best.items():
                samples[name][impl].append(t / numbers[name] * 1e9)
        if progress:
            sys.stderr.write("\rrepeat %d/%d" % (r + 1, repeat))
            sys.stderr.flush()
    if progress:
        sys.stderr.write("\r" + " " * 20 + "\r")
    return samples, numbers


def summarise(samples, numbers, ops, gate):
    """Medians, per-repeat ratios and verdicts, one record per operation."""
    out = []
    for name, label, kind, target, _stmt, _mode in ops:
        s = samples[name]
        rec = {"op": name, "label": label, "kind": kind, "target": target,
               "number": numbers[name],
               "ns": dict((impl, statistics.median(v)) for impl, v in s.items()),
               "samples_ns": s}
        ratios = []
        if "native" in s and "python" in s:
            for i in range(len(s["python"])):
                n, p = s["native"][i], s["python"][i]
                if kind == OVERHEAD:
                    d = s["direct"][i]
                    ratios.append((n - d) / (p - d) if p > d else float("nan"))
                else:
                    ratios.append(n / p)
        rec["ratios"] = ratios
        if ratios:
            rec["ratio"] = statistics.median(ratios)
            if target is not None:
                rec["met"] = rec["ratio"] <= target
                rec["binding"] = gate
        out.append(rec)
    return out


# --------------------------------------------------------------------------
# Import time

IMPORT_CODE_36 = """\
import sys, time
sys.path[0:0] = {paths!r}
import commons, RunnerCore
t = time.perf_counter()
import {module}
print(int((time.perf_counter() - t) * 1e6))
"""


def shared_libraries(path):
    """The libraries the dynamic loader maps for `path`, besides libc and the loader."""
    try:
        proc = subprocess.run(["ldd", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True)
    except OSError:
        return []
    libs = []
    for line in proc.stdout.splitlines():
        parts = line.split("=>")
        if len(parts) != 2:
            continue
        name = parts[0].strip()
        target = parts[1].split("(")[0].strip()
        if target and not name.startswith(("libc.so", "ld-linux", "linux-vdso")):
            libs.append(target)
    return libs


def import_cost_us(module, paths, runs, preload=None):
    """Median microseconds that importing `module` adds once the host modules are in."""
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    env["PYTHONPATH"] = os.pathsep.join(paths)
    if preload:
        env["LD_PRELOAD"] = " ".join(preload)
    values = []
    method = "-X importtime" if sys.version_info >= (3, 7) else "perf_counter"
    for _ in range(runs):
        if method == "-X importtime":
            cmd = [sys.executable, "-X", "importtime", "-c",
                   "import commons, RunnerCore; import %s" % module]
            proc = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  universal_newlines=True)
            if proc.returncode != 0:
                return None, method, proc.stderr.strip().splitlines()[-1:]
            value = None
            for line in proc.stderr.splitlines():
                # "import time:  self [us] | cumulative | imported package"
                parts = line.split("|")
                if len(parts) == 3 and parts[2].strip() == module:
                    value = int(parts[1].strip())
            if value is None:
                return None, method, ["no importtime line for %s" % module]
        else:
            cmd = [sys.executable, "-c", IMPORT_CODE_36.format(paths=paths, module=module)]
            proc = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  universal_newlines=True)
            if proc.returncode != 0:
                return None, method, proc.stderr.strip().splitlines()[-1:]
            value = int(proc.stdout.split()[-1])
        values.append(value)
    return statistics.median(values), method, values


def host_import_us(paths, runs):
    """Median microseconds of importing the two host modules themselves."""
    if sys.version_info < (3, 7):
        return None
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(paths)
    values = []
    for _ in range(runs):
        proc = subprocess.run([sys.executable, "-X", "importtime", "-c", "import commons, RunnerCore"],
                              env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True)
        total = 0
        for line in proc.stderr.splitlines():
            parts = line.split("|")
            if len(parts) == 3 and parts[2].strip() in ("commons", "RunnerCore"):
                total += int(parts[1].strip())
        values.append(total)
    return statistics.median(values)


# --------------------------------------------------------------------------
# Agreement check

def load_model():
    """tests/model.py, reading the same host modules as the facades."""
    import commons
    import RunnerCore
    if TESTS not in sys.path:
        sys.path.append(TESTS)
    import model
    model.namespace = {"commons": commons, "RunnerCore": RunnerCore}
    return model.Plugin


def check(native, python, reference):
    """Run every benchmarked operation through the native class, the facade
    and the model; list where either of the first two differs from the model."""
    import commons
    import RunnerCore

    problems = []
    notes = []
    real_run = RunnerCore.plugin_run
    real_list = RunnerCore.get_plugin_list

    def outcome(cls, fn):
        calls = []

        def plugin_run(plugin_name, def_name, get_args):
            calls.append(("plugin_run", plugin_name, def_name,
                          getattr(get_args, "plugin_get_object", None)))
            return real_run(plugin_name, def_name, get_args)

        def get_plugin_list(force):
            calls.append(("get_plugin_list", force, type(force).__name__))
            return real_list(force)

        RunnerCore.plugin_run = plugin_run
        RunnerCore.get_plugin_list = get_plugin_list
        cls._Plugin__obj_dict.clear()
        try:
            try:
                result = ("value", fn(cls))
            except Exception as exc:
                result = ("raise", type(exc).__name__, exc.args)
        finally:
            RunnerCore.plugin_run = real_run
            RunnerCore.get_plugin_list = real_list
            RunnerCore.use("ok")
        return result, calls, sorted(cls._Plugin__obj_dict.items(), key=repr)

    def cached(mode, name="index"):
        def fn(cls):
            RunnerCore.use("method")
            p = cls("demo")
            p.isdef(name)
            RunnerCore.use(mode)
            return p
        return fn

    class Reply(dict):
        pass

    def attribute_reads(cls):
        reads = []

        class Watched(cls):
            def __getattribute__(self, name):
                reads.append(name)
                return object.__getattribute__(self, name)
        RunnerCore.use("method")
        p = Watched("demo")
        p.isdef("index")
        p.get_fun("index")
        p.get_fun("other")
        p.exec_fun(args)
        return reads

    def replying(cls, value):
        RunnerCore.reply = value
        return cls("demo").exec_fun(args, "index")

    args = commons.dict_obj(s="index")
    cases = [
        ("construct", lambda c: c("demo")._Plugin__plugin_name),
        ("construct empty name", lambda c: c("")),
        ("construct False", lambda c: c(False)._Plugin__plugin_name),
        ("vars of an object", lambda c: vars(c("demo"))),
        ("dir of an object", lambda c: dir(c("demo"))),
        ("exec_fun(args, 'index')", lambda c: c("demo").exec_fun(args, "index")),
        ("exec_fun(args)", lambda c: c("demo").exec_fun(args)),
        ("exec_fun(args) without s", lambda c: c("demo").exec_fun(commons.dict_obj())),
        ("exec_fun load failure", lambda c: (RunnerCore.use("fail"), c("demo").exec_fun(args, "index"))[1]),
        ("exec_fun crash report", lambda c: (RunnerCore.use("crash"), c("demo").exec_fun(args))[1]),
        ("reply: Traceback not at the start", lambda c: replying(c, {"status": False, "msg": " Traceback x"})),
        ("reply: status None", lambda c: replying(c, {"status": None, "msg": "加载失败"})),
        ("reply: status 0", lambda c: replying(c, {"status": 0, "msg": "x加载失败"})),
        ("reply: no msg", lambda c: replying(c, {"status": False})),
        ("reply: plain text", lambda c: replying(c, "<html>加载失败</html>")),
        ("reply: dict subclass", lambda c: replying(c, Reply(status=False, msg="Traceback (x)"))),
        ("get_fun miss", lambda c: (RunnerCore.use("method"), c("demo").get_fun("index"))[1]),
        ("get_fun hit", lambda c: cached("none")(c).get_fun("index")),
        ("isdef hit", lambda c: cached("none")(c).isdef("index")),
        ("isdef of a missing method", lambda c: (RunnerCore.use("none"), c("demo").isdef("nope"))[1]),
        ("cache per plugin", lambda c: (cached("none")(c), c("other").get_fun("index"))[1]),
        ("get_plugin_list()", lambda c: c(False).get_plugin_list()),
        ("attributes read, in order", attribute_reads),
        ("get_plugin_list('yes')", lambda c: c(False).get_plugin_list("yes")),
    ]
    for label, fn in cases:
        want = outcome(reference, fn)
        for impl, cls in (("native", native), ("python", python)):
            got = outcome(cls, fn)
            if got != want:
                problems.append((label, impl, got, want))

    # The plain facade's binding failures come from the interpreter, in its
    # own words; only their type has to agree with the module's.
    for label, fn in [("isdef()", lambda c: c("demo").isdef()),
                      ("exec_fun()", lambda c: c("demo").exec_fun()),
                      ("Plugin('a', 'b')", lambda c: c("a", "b"))]:
        want = outcome(reference, fn)
        got = outcome(native, fn)
        if got != want:
            problems.append((label, "native", got, want))
        got = outcome(python, fn)
        if got[0][:2] != want[0][:2] or got[1:] != want[1:]:
            problems.append((label, "python", got, want))
        elif got != want:
            notes.append("%s: module %r, python %r" % (label, want[0][2][0], got[0][2][0]))
    for cls in (native, python, reference):
        cls._Plugin__obj_dict.clear()
    return problems, notes


# --------------------------------------------------------------------------
# Report

def fmt_ns(v):
    return "%9.1f" % v if v is not None else "%9s" % "-"


def print_table(records, info):
    print("addonGate benchmark: %s" % info["python"])
    print("  native: %s" % (info["native"] or "MISSING (%s)" % info["native_missing"]))
    print("  %d repeats, each the best of %d timings; ns per call are medians;"
          " ratio = median of per-repeat ratios" % (info["repeat"], info["inner"]))
    print()
    head = "%-28s %9s %9s %9s  %7s %15s  %6s  %s" % (
        "operation", "native", "python", "direct", "ratio", "range", "target", "")
    print(head)
    print("-" * len(head))
    for rec in records:
        ns = rec["ns"]
        ratio = rec.get("ratio")
        rng = ""
        if rec["ratios"]:
            rng = "%.3f-%.3f" % (min(rec["ratios"]), max(rec["ratios"]))
        if rec["target"] is None:
            verdict = ""
        elif ratio is None:
            verdict = "n/a"
        elif rec.get("binding"):
            verdict = "ok" if rec["met"] else "MISSED"
        else:
            verdict = "(ok)" if rec["met"] else "(missed)"
        print("%-28s %s %s %s  %7s %15s  %6s  %s" % (
            rec["label"][:28], fmt_ns(ns.get("native")), fmt_ns(ns.get("python")),
            fmt_ns(ns.get("direct")),
            "%.3f" % ratio if ratio is not None else "-", rng,
            "%.2f" % rec["target"] if rec["target"] is not None else "", verdict))
    print()
    print("exec_fun rows: ratio = (native - direct) / (python - direct), the facade's own cost;")
    print("other rows: ratio = native / python. Lower is better.")
    if not info["gate"]:
        print("Targets are binding from CPython 3.8 on; in parentheses here for reference.")
    if info["debug_build"]:
        print("This is a debug interpreter: its figures say little about release speed.")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--repeat", type=int, default=21, help="repeats per operation (default 21)")
    ap.add_argument("--number", type=int, default=0,
                    help="calls per timing; 0 = calibrate to --target-time (default)")
    ap.add_argument("--target-time", type=float, default=0.01,
                    help="seconds per timing when calibrating (default 0.01)")
    ap.add_argument("--inner", type=int, default=3,
                    help="timings per member and repeat; the repeat keeps the best (default 3)")
    ap.add_argument("--quick", action="store_true", help="5 repeats of ~3 ms timings")
    ap.add_argument("--only", action="append", metavar="OP",
                    help="time only this operation (repeatable): " +
                    ", ".join(o[0] for o in OPERATIONS))
    ap.add_argument("--build-dir", default=os.path.join(ROOT, "build"),
                    help="the CMake build folder (default: <repo>/build)")
    ap.add_argument("--module-dir", help="folder holding addonGate*.so (default: from interpreters.tsv)")
    ap.add_argument("--tag", help="name for this interpreter in the report")
    ap.add_argument("--python-only", action="store_true", help="skip the native module")
    ap.add_argument("--json", metavar="FILE", help="write every figure to FILE")
    ap.add_argument("--no-import-time", action="store_true", help="skip the import-time check")
    ap.add_argument("--import-runs", type=int, default=7, help="fresh interpreters per import figure")
    ap.add_argument("--check", action="store_true",
                    help="only check that both facades agree with tests/model.py on every benchmarked operation")
    ap.add_argument("--strict", action="store_true",
                    help="exit 1 when a target that binds this interpreter is missed")
    ap.add_argument("--callgrind", action="store_true",
                    help="count instructions per call under valgrind instead (callgrind.py)")
    args, rest = ap.parse_known_args(argv)

    if args.callgrind:
        import callgrind
        passthrough = list(rest)
        for flag, value in (("--build-dir", args.build_dir), ("--module-dir", args.module_dir),
                            ("--tag", args.tag), ("--json", args.json)):
            if value:
                passthrough += [flag, value]
        if args.quick:
            passthrough.append("--quick")
        if args.python_only:
            passthrough.append("--python-only")
        if args.only:
            for op in args.only:
                passthrough += ["--only", op]
        return callgrind.main(passthrough)
    if rest:
        ap.error("unrecognized arguments: %s" % " ".join(rest))

    if args.quick:
        args.repeat = min(args.repeat, 5)
        args.target_time = min(args.target_time, 0.003)
        args.import_runs = min(args.import_runs, 3)

    ops = OPERATIONS
    if args.only:
        known = set(o[0] for o in OPERATIONS)
        for op in args.only:
            if op not in known:
                ap.error("unknown operation %s" % op)
        ops = [o for o in OPERATIONS if o[0] in args.only]

    import pyfacade
    folder, tag = native_dir(args)
    native, missing = (None, "skipped (--python-only)") if args.python_only else import_native(folder)
    if native is None and not args.python_only:
        print("*** native module addonGate NOT FOUND: %s" % missing)
        print("*** build it first (cmake -S . -B build && cmake --build build); "
              "timing the pure-Python facade alone.")
        print()

    if args.check:
        if native is None:
            return EXIT_NO_NATIVE
        problems, notes = check(native.Plugin, pyfacade.Plugin, load_model())
        for note in notes:
            print("note (binding message, by design): %s" % note)
        for label, impl, got, want in problems:
            print("DIFFERENT  %s\n  %s: %r\n  model: %r" % (label, impl, got, want))
        print("check: %s" % ("both facades agree with the model" if not problems
                             else "%d differences" % len(problems)))
        return EXIT_STRICT if problems else 0

    impls = {"python": pyfacade.Plugin}
    if native is not None:
        impls["native"] = native.Plugin

    gate = sys.version_info >= (3, 8)
    debug_build = hasattr(sys, "gettotalrefcount")
    info = {
        "python": "%s %s (%s)" % (platform.python_implementation(), platform.python_version(),
                                  sys.executable),
        "version": list(sys.version_info[:3]),
        "executable": sys.executable,
        "tag": tag,
        "debug_build": debug_build,
        "native": getattr(native, "__file__", None),
        "native_missing": missing,
        "repeat": args.repeat,
        "inner": args.inner,
        "gate": gate,
    }

    gc.collect()
    timers = build_timers(impls, ops)
    samples, numbers = run_timings(timers, ops, args.repeat, args.number, args.target_time,
                                   args.inner, sys.stderr.isatty())
    records = summarise(samples, numbers, ops, gate)
    print_table(records, info)

    imports = None
    if not args.no_import_time and native is not None:
        paths = [folder, STUBS]
        native_us, method, raw = import_cost_us("addonGate", paths, args.import_runs)
        py_us, _m, _r = import_cost_us("pyfacade", [HERE, STUBS], args.import_runs)
        host_us = host_import_us([STUBS], args.import_runs)
        # What the module's own start-up costs once the libraries it links
        # are already mapped, as they are when another extension loaded them.
        libs = shared_libraries(native.__file__)
        preloaded_us = None
        if libs:
            preloaded_us, _m, _r = import_cost_us("addonGate", paths, args.import_runs, libs)
        imports = {"method": method, "addonGate_us": native_us, "addonGate_runs": raw,
                   "linked_libraries": libs, "addonGate_preloaded_us": preloaded_us,
                   "pyfacade_us": py_us, "host_modules_us": host_us, "target_us": 1000}
        print()
        if native_us is None:
            print("import time: could not measure (%s)" % raw)
        else:
            print("import time (%s, median of %d fresh interpreters):" % (method, args.import_runs))
            print("  import addonGate after commons, RunnerCore: %7.0f us  (target <= 1000 us: %s)"
                  % (native_us, "ok" if native_us <= 1000 else "MISSED"))
            if preloaded_us is not None:
                print("    of which the module itself, with %s already loaded: %7.0f us"
                      % (", ".join(os.path.basename(l) for l in libs), preloaded_us))
            if py_us is not None:
                print("  import pyfacade  after commons, RunnerCore: %7.0f us" % py_us)
            if host_us is not None:
                print("  import commons, RunnerCore themselves:     %7.0f us" % host_us)
            imports["met"] = native_us <= 1000

    if args.json:
        with open(args.json, "w") as f:
            json.dump({"info": info, "operations": records, "import_time": imports}, f, indent=1,
                      sort_keys=True)
        print("figures written to %s" % args.json)

    if native is None and not args.python_only:
        return EXIT_NO_NATIVE
    if args.strict and gate:
        if any(r.get("met") is False for r in records) or (imports and imports.get("met") is False):
            return EXIT_STRICT
    return 0


if __name__ == "__main__":
    sys.exit(main())
