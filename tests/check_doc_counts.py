"""CONTRIBUTING.md's account of a cross build's tests matches the build.

Its paragraph "What the test step proves, per file" names each test, per
file (`module_<tag>`) or once (`install`), and quotes two totals: a machine
with one CPython version (two files, release and debug) and arm64's three
(six files). Held here:
- both totals follow from the names the paragraph gives;
- the build in BUILD_DIR registers exactly those tests for each of its
  files, but for one its not_tested.txt names.

    python3 tests/check_doc_counts.py DOC BUILD_DIR CTEST

Prints each disagreement and exits 1 if there is one.
"""
import json
import re
import subprocess
import sys


def doc_claims(text):
    # (The Windows paragraph begins the same way, without totals.)
    start = text.rindex("What the test step proves", 0, text.index("CTest entries per machine"))
    section = text[start:text.index("No entry is left", start)]
    totals = re.search(r"\((\d+) CTest entries per machine with one\s+CPython version,"
                       r" (\d+) for arm64's three", section)
    if not totals:
        sys.exit("CONTRIBUTING.md: no totals in its paragraph on the cross builds' tests")
    per_file = set(re.findall(r"`([a-z_]+)_<tag>`", section))
    once = set(re.findall(r"`([a-z_]+)`", section))
    return int(totals.group(1)), int(totals.group(2)), per_file, once


def build_tests(build_dir, ctest):
    listing = subprocess.run([ctest, "--show-only=json-v1"], cwd=build_dir, check=True,
                             stdout=subprocess.PIPE).stdout
    return {t["name"] for t in json.loads(listing.decode("utf-8"))["tests"]}


def main():
    doc, build_dir, ctest = sys.argv[1:4]
    with open(doc, encoding="utf-8") as f:
        one, three, per_file, once = doc_claims(f.read())
    faults = []
    for files, said in ((2, one), (6, three)):
        if files * len(per_file) + len(once) != said:
            faults.append("CONTRIBUTING.md says %d entries for %d files; its names make %d"
                          % (said, files, files * len(per_file) + len(once)))

    names = build_tests(build_dir, ctest)
    with open(build_dir + "/interpreters.tsv", encoding="utf-8") as f:
        tags = [line.split("\t")[0] for line in f if line.strip()]
    with open(build_dir + "/not_tested.txt", encoding="utf-8") as f:
        not_tested = f.read()
    want = set(once) | {"%s_%s" % (p, t) for p in per_file for t in tags}
    for name in sorted(names - want):
        faults.append("the build registers %s, which CONTRIBUTING.md does not name" % name)
    for name in sorted(want - names):
        if not re.search(r"\b%s\b" % name, not_tested):
            faults.append("CONTRIBUTING.md names %s; the build neither registers it nor "
                          "names it as not tested" % name)
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
