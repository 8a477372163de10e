"""The module files of a test build and what passed on each, for the release:

    python3 tools/tested_files.py BUILD_DIR

A build lists its modules in interpreters.tsv (Linux, here or on another
machine: BUILD_DIR/<tag>/addonGate*.so), and its workflow's test step leaves
CTest's record in BUILD_DIR/junit.xml. tools/matrix.py's folder lists its
builds in windows_builds.tsv instead, one module each in BUILD_DIR/<tag>/,
with a record of its own there (and the run in the emulated machine another,
as junit-vm.xml). For each module this prints one tab-separated line:

    passed      PATH  SHA256  TESTS   its module suite passed on the file as
                                      it is now, and no other test of its own
                                      failed (TESTS: those that passed; one
                                      the build disabled is named in its
                                      not_tested.txt)
    not-tested  PATH  REASON          its module suite was not registered: the
                                      build names why in not_tested.txt
    failed      PATH  REASON          otherwise

A test of a module is one named <suite>_<tag>; a test-only variant's
(<suite>_<tag>_asan, the sanitizer's on an instrumented copy of the file)
does not count. Exit status 2 when the build folder has no list of modules
or no test record.
"""
import glob
import hashlib
import os
import sys
import xml.etree.ElementTree as ElementTree


def builds(build):
    """(folder, [(tag, path)...]) of every build: the folder's own, or one
    per module of tools/matrix.py's folder."""
    listed = os.path.join(build, "interpreters.tsv")
    if os.path.exists(listed):
        found = []
        for line in open(listed):
            tag = line.split("\t")[0].strip()
            if tag:
                files = [f for f in glob.glob(os.path.join(build, tag, "addonGate*"))
                         if f.endswith(".so")]
                found.append((tag, files[0] if files else os.path.join(build, tag, "addonGate.so")))
        yield build, found
        return
    for line in open(os.path.join(build, "windows_builds.tsv")):
        fields = line.rstrip("\n").split("\t")
        if len(fields) >= 2:
            folder = os.path.join(build, fields[0])
            yield folder, [(fields[0], os.path.join(folder, fields[1]))]


def results(records):
    """Test name -> "passed", "failed", or how CTest says it did not run
    ("notrun", "disabled"), over every record."""
    outcome = {}
    for record in records:
        for case in ElementTree.parse(record).getroot().iter("testcase"):
            status = case.get("status")
            if case.find("failure") is not None or status == "fail":
                status = "failed"
            elif status == "run":
                status = "passed"
            outcome[case.get("name")] = status
    return outcome


def unregistered(build, tag):
    """Why the build registered no suite for `tag`, in its own words."""
    try:
        for line in open(os.path.join(build, "not_tested.txt")):
            if line.startswith(tag + " ") or line.startswith(tag + ":"):
                return line.strip()
    except OSError:
        pass
    return "no module suite was registered for %s" % tag


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 16), b""):
            digest.update(block)
    return digest.hexdigest()


def main(build):
    if not (os.path.exists(os.path.join(build, "interpreters.tsv")) or
            os.path.exists(os.path.join(build, "windows_builds.tsv"))):
        print("tested_files: %s lists no modules" % build, file=sys.stderr)
        return 2
    if (os.path.exists(os.path.join(build, "interpreters.tsv")) and
            not os.path.exists(os.path.join(build, "junit.xml"))):
        print("tested_files: %s holds no test record (junit.xml)" % build, file=sys.stderr)
        return 2
    for folder, modules in builds(build):
        report(folder, modules)
    return 0


def report(build, modules):
    record = os.path.join(build, "junit.xml")
    if not os.path.exists(record):
        for _, path in modules:
            print("failed\t%s\tits build left no test record" % path)
        return
    # The -win32 files' suites run in the emulated machine leave their own.
    records = [record] + sorted(glob.glob(os.path.join(build, "junit-*.xml")))
    outcome = results(records)
    tested_at = min(os.path.getmtime(r) for r in records)
    for tag, path in modules:
        own = sorted(name for name in outcome if name.endswith("_" + tag))
        passed = [name for name in own if outcome[name] == "passed"]
        failed = [name for name in own if outcome[name] == "failed"]
        if os.path.exists(path) and "module_" + tag not in own:
            print("not-tested\t%s\t%s" % (path, unregistered(build, tag)))
            continue
        if not os.path.exists(path):
            why = "the build left no module file"
        elif "module_" + tag not in passed:
            why = "its module suite did not run"
        elif failed:
            why = "did not pass: " + " ".join(failed)
        elif os.path.getmtime(path) > tested_at:
            why = "built again after its tests ran"
        else:
            print("passed\t%s\t%s\t%s" % (path, sha256(path), " ".join(passed)))
            continue
        print("failed\t%s\t%s" % (path, why))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1]))
