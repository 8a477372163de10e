"""Runs the module's suite once under valgrind memcheck and fails on any
error whose stack passes through the module."""
import os
import re
import subprocess
import sys
import tempfile


def main():
    python = sys.argv[1]
    log = tempfile.NamedTemporaryFile(prefix="memcheck-", suffix=".log", delete=False).name
    command = ["valgrind", "--tool=memcheck", "--log-file=" + log, "--num-callers=30",
               python, "-m", "unittest", "discover", "-s", "tests", "-t", "tests",
               "-p", "test_*.py"]
    run = subprocess.run(command, env=dict(os.environ, ADDONGATE_MEMCHECK="1"))
    with open(log) as f:
        text = f.read()
    os.unlink(log)
    # Error records are blocks of "==pid== " lines separated by empty ones.
    # A frame of the module names its file (addonGate...so) or, with debug
    # information, its namespace (addongate::).
    blocks = re.split(r"^==\d+== ?\n", text, flags=re.M)
    ours = [b for b in blocks if re.search(r"addonGate|addongate::", b)
            and re.search(r"^==\d+==\s+(at|by) ", b, re.M)]
    summary = re.search(r"ERROR SUMMARY: (\d+) errors", text)
    print("memcheck: %s errors in all, %d in the module; suite exit %d"
          % (summary.group(1) if summary else "?", len(ours), run.returncode))
    for block in ours:
        print(block)
    sys.exit(1 if ours or run.returncode != 0 else 0)


if __name__ == "__main__":
    main()
