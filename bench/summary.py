"""Print one table over the JSON files that bench.py and callgrind.py wrote.

    python bench/summary.py bench/results/*.json
"""
import json
import sys


def cell(rec):
    ratio = rec.get("ratio")
    if ratio is None:
        return "-"
    text = "%.3f" % ratio
    if rec.get("met") is False:
        text += "!" if rec.get("binding") else "?"
    return text


def main(paths):
    timing, counts = [], []
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        (counts if "empty_loop_ir" in data else timing).append(data)

    if timing:
        tags = [d["info"]["tag"] for d in timing]
        ops = [(r["op"], r["label"], r["target"]) for r in timing[0]["operations"]]
        print("Ratios, median of per-repeat ratios (exec_fun: facade cost above the direct call)")
        print("%-28s %6s " % ("operation", "target") + " ".join("%9s" % t for t in tags))
        for op, label, target in ops:
            row = []
            for d in timing:
                rec = [r for r in d["operations"] if r["op"] == op]
                if not rec:
                    row.append("-")
                elif rec[0]["kind"] == "direct":
                    row.append("%.1fns" % rec[0]["ns"]["direct"])
                else:
                    row.append(cell(rec[0]))
            print("%-28s %6s " % (label[:28], "%.2f" % target if target is not None else "")
                  + " ".join("%9s" % c for c in row))
        row = []
        for d in timing:
            imp = d.get("import_time") or {}
            v = imp.get("addonGate_us")
            row.append("%.0fus" % v if v is not None else "-")
        print("%-28s %6s " % ("import addonGate", "1000us") + " ".join("%9s" % c for c in row))
        print("'!' marks a missed target on 3.8+, '?' a missed one where it is only reported;")
        print("debug interpreters (tag ending in d) say little about release speed.")
        print()

    if counts:
        tags = [d["tag"] for d in counts]
        ops = [(r["op"], r["label"]) for r in counts[0]["operations"]]
        print("Instructions per call, native / python (ratio)")
        print("%-28s " % "operation" + " ".join("%22s" % t for t in tags))
        for op, label in ops:
            row = []
            for d in counts:
                rec = [r for r in d["operations"] if r["op"] == op]
                if not rec:
                    row.append("-")
                    continue
                ir = rec[0]["ir"]
                if "native" in ir and "python" in ir:
                    row.append("%.0f/%.0f (%.3f)" % (ir["native"], ir["python"], rec[0]["ratio"]))
                elif "python" in ir:
                    row.append("-/%.0f" % ir["python"])
                else:
                    row.append("%.0f" % ir.get("direct", 0))
            print("%-28s " % label[:28] + " ".join("%22s" % c for c in row))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
