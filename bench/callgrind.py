"""Instructions per call under valgrind's callgrind: figures machine noise cannot move.

Each operation runs in its own interpreter under callgrind, once with LOW
and once with HIGH loops, after the same warm-up; the difference divided by
HIGH - LOW is what one more call costs, start-up and set-up cancelling out.
An empty loop measured the same way gives the loop's own cost per
iteration, which is taken off every figure.

    python bench/callgrind.py                 # every operation, native and Python
    python bench/callgrind.py --only exec_index --loops 2000
    python bench/callgrind.py --json out.json

Exit status: 0; 3 when the native module cannot be imported (the
pure-Python counts are still printed); 2 when valgrind is missing or fails.
"""
import argparse
import json
import os
import re
import subprocess
import sys

import bench

WARMUP = 300
COLLECTED = re.compile(r"^==\d+== Collected : (\d+)", re.M)


def child(op, impl, loops, module_dir):
    """Run one operation `loops` times the way bench.py times it."""
    import pyfacade
    ops = dict((o[0], o) for o in bench.OPERATIONS)
    if op == "empty":
        stmt, mode = "pass", "ok"
    else:
        _n, _l, _k, _t, stmt, mode = ops[op]
    if impl == "native":
        native, why = bench.import_native(module_dir)
        if native is None:
            sys.stderr.write(why + "\n")
            return 3
        cls = native.Plugin
    else:
        cls = pyfacade.Plugin
    if impl == "direct":
        stmt = bench.DIRECT_STMT
    timer = bench.make_timer(stmt, mode, cls)
    timer.timeit(WARMUP)
    if loops:
        timer.timeit(loops)
    return 0


def instructions(op, impl, loops, module_dir, valgrind):
    env = dict(os.environ)
    env["PYTHONHASHSEED"] = "0"     # same dict layouts in every run
    # Children traced: an unpacked interpreter starts through a wrapper script.
    cmd = [valgrind, "--tool=callgrind", "--callgrind-out-file=/dev/null", "--trace-children=yes",
           sys.executable, os.path.abspath(__file__), "--child", op, impl, str(loops),
           "--module-dir", module_dir]
    proc = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
    found = COLLECTED.findall(proc.stderr)
    if proc.returncode != 0 or not found:
        raise RuntimeError("callgrind run failed (%s %s %d): %s"
                           % (op, impl, loops, proc.stderr.strip()[-2000:]))
    return int(found[-1])


def per_call(op, impl, low, high, module_dir, valgrind):
    a = instructions(op, impl, low, module_dir, valgrind)
    b = instructions(op, impl, high, module_dir, valgrind)
    return (b - a) / float(high - low)


def main(argv=None):
    ap = argparse.ArgumentParser(description="instructions per call under callgrind")
    ap.add_argument("--child", nargs=3, metavar=("OP", "IMPL", "LOOPS"), help=argparse.SUPPRESS)
    ap.add_argument("--loops", type=int, default=5000,
                    help="extra calls between the two runs of each operation (default 5000)")
    ap.add_argument("--quick", action="store_true", help="1000 loops")
    ap.add_argument("--only", action="append", metavar="OP", help="this operation only (repeatable)")
    ap.add_argument("--build-dir", default=os.path.join(bench.ROOT, "build"))
    ap.add_argument("--module-dir")
    ap.add_argument("--tag")
    ap.add_argument("--python-only", action="store_true")
    ap.add_argument("--json", metavar="FILE")
    ap.add_argument("--valgrind", default="valgrind")
    args = ap.parse_args(argv)

    if args.child:
        op, impl, loops = args.child
        return child(op, impl, int(loops), args.module_dir)

    folder, tag = bench.native_dir(args)
    native, missing = (None, "skipped (--python-only)") if args.python_only else bench.import_native(folder)
    if native is None and not args.python_only:
        print("*** native module addonGate NOT FOUND: %s" % missing)
        print("*** counting the pure-Python facade alone.")
    impls = ["python"] if native is None else ["native", "python"]
    loops = 1000 if args.quick else args.loops
    low, high = 200, 200 + loops

    try:
        subprocess.run([args.valgrind, "--version"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except OSError:
        print("valgrind not found (%s)" % args.valgrind)
        return 2

    ops = [o for o in bench.OPERATIONS if not args.only or o[0] in args.only]
    needs_direct = any(o[2] == bench.OVERHEAD for o in ops)
    try:
        empty = per_call("empty", "python", low, high, folder, args.valgrind)
        counts = {}
        for name, _label, kind, _target, _stmt, _mode in ops:
            if kind == bench.DIRECT:
                counts[name] = {"direct": per_call(name, "direct", low, high, folder, args.valgrind) - empty}
                continue
            counts[name] = dict((impl, per_call(name, impl, low, high, folder, args.valgrind) - empty)
                                for impl in impls)
            if sys.stderr.isatty():
                sys.stderr.write(".")
                sys.stderr.flush()
        if needs_direct and "direct" not in counts:
            counts["direct"] = {"direct": per_call("direct", "direct", low, high, folder, args.valgrind) - empty}
    except RuntimeError as exc:
        print(exc)
        return 2
    if sys.stderr.isatty():
        sys.stderr.write("\n")

    direct = counts["direct"]["direct"] if "direct" in counts else None
    records = []
    print("addonGate instructions per call (callgrind): %s, %s" % (sys.version.split()[0], tag))
    print("  native: %s" % (getattr(native, "__file__", None) or "MISSING (%s)" % missing))
    print("  %d calls counted per figure; empty loop (%.1f Ir/iteration) taken off" % (loops, empty))
    print()
    head = "%-28s %10s %10s %10s  %7s  %6s" % ("operation", "native", "python", "direct", "ratio", "target")
    print(head)
    print("-" * len(head))
    for name, label, kind, target, _stmt, _mode in ops:
        c = counts[name]
        ratio = None
        if "native" in c and "python" in c:
            if kind == bench.OVERHEAD:
                ratio = (c["native"] - direct) / (c["python"] - direct)
            else:
                ratio = c["native"] / c["python"]
        shown_direct = c.get("direct", direct if kind == bench.OVERHEAD else None)

        def cell(v):
            return "%10.0f" % v if v is not None else "%10s" % "-"
        print("%-28s %s %s %s  %7s  %6s" % (
            label[:28], cell(c.get("native")), cell(c.get("python")), cell(shown_direct),
            "%.3f" % ratio if ratio is not None else "-",
            "%.2f" % target if target is not None else ""))
        records.append({"op": name, "label": label, "kind": kind, "target": target,
                        "ir": c, "ratio": ratio})
    print()
    print("exec_fun rows: ratio = (native - direct) / (python - direct); others native / python.")

    if args.json:
        with open(args.json, "w") as f:
            json.dump({"python": sys.version.split()[0], "executable": sys.executable, "tag": tag,
                       "native": getattr(native, "__file__", None), "loops": loops,
                       "empty_loop_ir": empty, "direct_ir": direct, "operations": records},
                      f, indent=1, sort_keys=True)
        print("figures written to %s" % args.json)
    return 3 if native is None and not args.python_only else 0


if __name__ == "__main__":
    sys.exit(main())
