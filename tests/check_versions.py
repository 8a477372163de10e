"""The supported CPython range reads the same everywhere. Its one source is
CMakeLists.txt (ADDONGATE_OLDEST_PYTHON, ADDONGATE_NEWEST_PYTHON); held to it:
- README.md, CONTRIBUTING.md, host/README.md and runtime/compat.h: each names
  the range ("CPython 3.6 to 3.15", or with a dash), and every such phrase in
  them names that range (other spans are written without "CPython" in front);
- CHANGELOG.md: the newest entry that names a range names this one;
- pyproject.toml: one "Python :: 3.N" classifier for each version from its
  requires-python (the oldest a source build takes) to the newest;
- cmake/platforms.tsv: the newest version a machine's row names is the
  newest supported.

    python3 tests/check_versions.py [SOURCE_DIR]

Runs on any CPython the build takes (no TOML reader needed). Prints each
disagreement and exits 1 if there is one.
"""
import os
import re
import sys

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                       os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
# "CPython 3.6 to 3.15", "CPython 3.6–3.15", across a line break too.
RANGE = re.compile(r"CPython\s+3\.(\d+)\s*(?:to|–|-)\s*3\.(\d+)")
EVERY_MENTION = ["README.md", "CONTRIBUTING.md", "host/README.md", "runtime/compat.h"]

faults = []


def read(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        return f.read()


def cmake_range():
    text = read("CMakeLists.txt")
    found = [re.search(r"set\(ADDONGATE_%s_PYTHON 3\.(\d+)\)" % end, text)
             for end in ("OLDEST", "NEWEST")]
    if not all(found):
        sys.exit("CMakeLists.txt sets no ADDONGATE_OLDEST_PYTHON and ADDONGATE_NEWEST_PYTHON")
    return tuple(int(m.group(1)) for m in found)


def named(span):
    return "3.%d to 3.%d" % span


def main():
    want = cmake_range()
    for path in EVERY_MENTION:
        if not os.path.exists(os.path.join(ROOT, path)):
            continue
        spans = [(int(a), int(b)) for a, b in RANGE.findall(read(path))]
        if not spans:
            faults.append("%s: names no CPython range (want CPython %s)" % (path, named(want)))
        for span in spans:
            if span != want:
                faults.append("%s: says CPython %s, not %s" % (path, named(span), named(want)))

    first = RANGE.search(read("CHANGELOG.md"))
    got = (int(first.group(1)), int(first.group(2))) if first else None
    if got != want:
        faults.append("CHANGELOG.md: its newest range is %s, not %s"
                      % (named(got) if got else "none", named(want)))

    pyproject = read("pyproject.toml")
    oldest = re.search(r'^requires-python\s*=\s*">=3\.(\d+)"', pyproject, re.M)
    listed = sorted(int(m) for m in re.findall(r'"Programming Language :: Python :: 3\.(\d+)"',
                                               pyproject))
    expected = list(range(int(oldest.group(1)) if oldest else want[0], want[1] + 1))
    if listed != expected:
        faults.append("pyproject.toml: classifiers for 3.%s, not 3.%d to 3.%d"
                      % (", 3.".join(map(str, listed)), expected[0], expected[-1]))

    # The newest CPython any machine gets is the newest supported.
    sys.path.insert(0, os.path.join(ROOT, "tools"))
    from make_wheel import platforms  # cmake/platforms.tsv's reader
    newest = max(int(v.split(".")[1]) for row in platforms().values()
                 for v in row["versions"].split())
    if newest != want[1]:
        faults.append("cmake/platforms.tsv: its newest version is 3.%d, not 3.%d"
                      % (newest, want[1]))

    for fault in faults:
        print(fault)
    print("CPython %s: %s" % (named(want), "%d disagree" % len(faults) if faults else "all agree"))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
