"""tools/tested_files.py: which module files the release may ship; and
tools/make_wheel.py: which row of cmake/platforms.tsv a file is, and the
platform tags its wheel may carry.

    python3 tests/wheels/test_tested_files.py
"""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
TOOL = os.path.join(TOOLS, "tested_files.py")
sys.path.insert(0, TOOLS)
import make_wheel  # noqa: E402


def junit(cases):
    """ok: True (passed), False (failed), or CTest's word for a test not run."""
    def status(ok):
        return "run" if ok is True else "fail" if ok is False else ok
    body = "".join('<testcase name="%s" classname="%s" status="%s">%s</testcase>\n'
                   % (name, name, status(ok), '<failure message="Failed"/>' if ok is False else "")
                   for name, ok in cases)
    return '<?xml version="1.0" encoding="UTF-8"?>\n<testsuite>\n%s</testsuite>\n' % body


class TestedFilesTest(unittest.TestCase):
    def build(self, listing, files, cases, not_tested="", vm_cases=None):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder, True)
        for name, text in [listing] + [("not_tested.txt", not_tested)]:
            with open(os.path.join(folder, name), "w") as f:
                f.write(text)
        for path in files:
            os.makedirs(os.path.dirname(os.path.join(folder, path)), exist_ok=True)
            with open(os.path.join(folder, path), "wb") as f:
                f.write(path.encode())
        later = time.time() + 10
        for name, listed in (("junit.xml", cases), ("junit-vm.xml", vm_cases)):
            if listed is not None:
                record = os.path.join(folder, name)
                with open(record, "w") as f:
                    f.write(junit(listed))
                os.utime(record, (later, later))
        return folder

    def lines(self, folder):
        out = subprocess.run([sys.executable, TOOL, folder], stdout=subprocess.PIPE,
                             universal_newlines=True, check=True).stdout
        return [line.split("\t") for line in out.splitlines()]

    def test_linux_build(self):
        folder = self.build(
            ("interpreters.tsv", "cp38\t/x/python3.8\ncp311d\t/x/python3.11d\ncp312\t/x/python3.12\n"),
            ["cp38/addonGate.cpython-38-x86_64-linux-gnu.so",
             "cp38/addonGate.cpython-38-x86_64-linux-gnu.so.debug",
             "cp311d/addonGate.cpython-311d-x86_64-linux-gnu.so",
             "cp312/addonGate.cpython-312-x86_64-linux-gnu.so"],
            [("module_cp38", True), ("fuzz_cp38", True), ("module_cp38_asan", False),
             ("module_cp311d", True), ("stress_cp311d", False),
             ("module_cp312", True), ("probe_rules", True)])
        os.utime(os.path.join(folder, "cp312", "addonGate.cpython-312-x86_64-linux-gnu.so"),
                 (time.time() + 60,) * 2)
        got = self.lines(folder)
        first = "cp38/addonGate.cpython-38-x86_64-linux-gnu.so"
        self.assertEqual(got[0], ["passed", os.path.join(folder, first),
                                  hashlib.sha256(first.encode()).hexdigest(),
                                  "fuzz_cp38 module_cp38"])
        self.assertEqual(got[1][0::2], ["failed", "did not pass: stress_cp311d"])
        self.assertEqual(got[2][0::2], ["failed", "built again after its tests ran"])

    def matrix(self, *builds):
        """tools/matrix.py's folder: (tag, cases, not_tested, vm_cases) per
        build, each its own folder with its one file."""
        top = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, top)
        with open(os.path.join(top, "windows_builds.tsv"), "w") as f:
            for tag, cases, not_tested, vm_cases in builds:
                f.write("%s\taddonGate.%s.pyd\t/r/py-%s\n" % (tag, tag, tag))
                folder = self.build(("build.txt", ""), ["addonGate.%s.pyd" % tag], cases,
                                    not_tested, vm_cases)
                shutil.move(folder, os.path.join(top, tag))
        return top

    def test_windows_build_whose_suites_could_not_run(self):
        folder = self.matrix(
            ("cp36-win32", [("pe_cp36-win32", True)],
             "cp36-win32 under Wine (no 32-bit programs here)\n", None),
            ("cp38-win_amd64", [("pe_cp38-win_amd64", True), ("module_cp38-win_amd64", True)],
             "", None))
        got = self.lines(folder)
        self.assertEqual(got[0], ["not-tested",
                                  os.path.join(folder, "cp36-win32", "addonGate.cp36-win32.pyd"),
                                  "cp36-win32 under Wine (no 32-bit programs here)"])
        self.assertEqual(got[1][0], "passed")
        self.assertEqual(got[1][3], "module_cp38-win_amd64 pe_cp38-win_amd64")

    def test_windows_suites_run_in_the_emulated_machine(self):
        # The module suite passed in the machine; the fuzz was left out there.
        # A build that failed before its tests left no record at all.
        folder = self.matrix(
            ("cp36-win32", [("pe_cp36-win32", True), ("fuzz_cp36-win32", "disabled")], "",
             [("module_cp36-win32", True)]),
            ("cp310-win32", [("pe_cp310-win32", True), ("fuzz_cp310-win32", "disabled")], "",
             [("module_cp310-win32", "notrun")]),
            ("cp39-win_amd64", None, "", None))
        got = self.lines(folder)
        self.assertEqual(got[0][0::3], ["passed", "module_cp36-win32 pe_cp36-win32"])
        self.assertEqual(got[1][0::2], ["failed", "its module suite did not run"])
        self.assertEqual(got[2][0::2], ["failed", "its build left no test record"])


class WheelTagsTest(unittest.TestCase):
    def test_file_names_find_their_rows(self):
        for name, arch, digits in [("addonGate.cpython-311d-x86_64-linux-gnu.so", "amd64", "311d"),
                                   ("addonGate.cpython-36m-i386-linux-gnu.so", "i386", "36m"),
                                   ("addonGate.cp38-win_amd64.pyd", "win_amd64", "38"),
                                   ("addonGate.cp36-win32.pyd", "win32", "36")]:
            row, got = make_wheel.row_of(name)
            self.assertEqual((row and row["arch"], got), (arch, digits), name)
        for name in ["addonGate.cpython-311-sparc-linux-gnu.so", "addonGate.cp38-win_arm64.pyd",
                     "other.cpython-311-x86_64-linux-gnu.so",
                     "addonGate.cpython-311-x86_64-linux-gnu.so.debug"]:
            self.assertEqual(make_wheel.row_of(name), (None, None), name)

    def test_linux_file_gets_its_rows_tags_and_no_newer_glibc(self):
        # Shared objects of the compiler's machine under its row's file name:
        # one that needs only the oldest glibc, one that needs
        # pthread_create's 2.34. (The interpreter may be another machine's,
        # under qemu-user.)
        compiler = shutil.which("cc") or shutil.which("gcc")
        if not compiler:
            self.skipTest("needs a C compiler")
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)

        def shared(sub, code, file_name="addonGate.so"):
            os.makedirs(os.path.join(folder, sub))
            path = os.path.join(folder, sub, file_name)
            with open(path + ".c", "w") as f:
                f.write("#include <pthread.h>\n#include <string.h>\n" + code)
            subprocess.run([compiler, "-shared", "-fPIC", "-fno-builtin", "-O1", "-o", path, path + ".c"],
                           check=True)
            return path

        memmove = "void *f(void *d, const void *s) { return memmove(d, s, 1); }\n"
        header = subprocess.run(["readelf", "-h", shared("probe", memmove)], stdout=subprocess.PIPE,
                                universal_newlines=True).stdout
        machine = re.search(r"^\s*Machine:\s*(.*?)\s*$", header, re.M).group(1)
        rows = [r for r in make_wheel.platforms().values() if r["kind"] == "linux"]
        here = [r for r in rows if r["header"] == machine]
        if not here:
            self.skipTest("no row of cmake/platforms.tsv is the compiler's machine")
        other = [r for r in rows if r is not here[0]]
        file_name = "addonGate." + here[0]["file"].replace("@", "311")
        tag = here[0]["wheel"].split(".")
        old = shared("old", memmove, file_name)
        self.assertEqual(make_wheel.tags_for(old), ("cp311", "cp311", tag, 11))
        new = shared("new", "static void *g(void *x) { return x; }\n"
                            "int f(pthread_t *t) { return pthread_create(t, 0, g, 0); }\n",
                     file_name)
        if make_wheel.newest_glibc(new) < (2, 34):
            self.skipTest("this glibc is older than 2.34")
        with self.assertRaises(SystemExit) as raised:
            make_wheel.tags_for(new)
        self.assertIn("needs glibc 2.34, newer than its tag " + tag[0], str(raised.exception))
        # A file of this machine under another machine's name.
        wrong = os.path.join(folder, "addonGate." + other[0]["file"].replace("@", "311"))
        shutil.copy(old, wrong)
        with self.assertRaises(SystemExit) as raised:
            make_wheel.tags_for(wrong)
        self.assertIn("is no ELF file for " + other[0]["header"], str(raised.exception))

if __name__ == "__main__":
    unittest.main()
