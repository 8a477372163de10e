"""tools/tested_files.py: which module files the release may ship.

    python3 tests/wheels/test_tested_files.py
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                    "tested_files.py")


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
        self.addCleanup(shutil.rmtree, folder)
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

    def test_windows_build_whose_suites_could_not_run(self):
        folder = self.build(
            ("windows_builds.tsv", "cp36-win32\taddonGate.cp36-win32.pyd\t/r/py36-win32\n"
                                   "cp38-win_amd64\taddonGate.cp38-win_amd64.pyd\t/r/py38-amd64\n"),
            ["addonGate.cp36-win32.pyd", "addonGate.cp38-win_amd64.pyd"],
            [("pe_cp36-win32", True), ("pe_cp38-win_amd64", True), ("module_cp38-win_amd64", True)],
            not_tested="cp36-win32 under Wine (no 32-bit programs here)\n")
        got = self.lines(folder)
        self.assertEqual(got[0], ["not-tested", os.path.join(folder, "addonGate.cp36-win32.pyd"),
                                  "cp36-win32 under Wine (no 32-bit programs here)"])
        self.assertEqual(got[1][0], "passed")
        self.assertEqual(got[1][3], "module_cp38-win_amd64 pe_cp38-win_amd64")

    def test_windows_suites_run_in_the_emulated_machine(self):
        # The module suite passed in the machine; the fuzz was left out there.
        folder = self.build(
            ("windows_builds.tsv", "cp36-win32\taddonGate.cp36-win32.pyd\t/r/py36-win32\n"
                                   "cp310-win32\taddonGate.cp310-win32.pyd\t/r/py310-win32\n"),
            ["addonGate.cp36-win32.pyd", "addonGate.cp310-win32.pyd"],
            [("pe_cp36-win32", True), ("fuzz_cp36-win32", "disabled"), ("win32_vm", False),
             ("pe_cp310-win32", True), ("fuzz_cp310-win32", "disabled")],
            vm_cases=[("module_cp36-win32", True), ("module_cp310-win32", "notrun")])
        got = self.lines(folder)
        self.assertEqual(got[0][0::3], ["passed", "module_cp36-win32 pe_cp36-win32"])
        self.assertEqual(got[1][0::2], ["failed", "its module suite did not run"])


if __name__ == "__main__":
    unittest.main()
