"""Helpers shared by the Python-level tests.

The test command puts the built module's folder and tests/stubs on
PYTHONPATH, so `import addonGate` finds the recording stand-ins for the
host's `commons` and `RunnerCore`.
"""
import os
import struct
import subprocess
import sys
import unittest

import commons
import RunnerCore
import addonGate

LEGACY_BUILD = sys.version_info[:2] == (3, 6)
FILE_NAME = "class\\addonGate" if LEGACY_BUILD else "corvel-win\\corvel\\class\\addonGate"
HERE = os.path.dirname(os.path.abspath(__file__))


def address_text(obj):
    """`id(obj)` as the interpreter's %p writes it in a repr: 0x7f3a... on Linux,
    upper-case and zero-padded to the pointer width on Windows."""
    if sys.platform == "win32":
        return "0x%0*X" % (2 * struct.calcsize("P"), id(obj))
    return "0x%x" % id(obj)


def reset():
    """Fresh runner replies, no recorded calls, an empty object cache."""
    RunnerCore.reset()
    commons.reset()
    addonGate.RunnerCore = RunnerCore
    addonGate.commons = commons
    addonGate.Plugin._Plugin__obj_dict.clear()


def module_entries(exc):
    """(file, function, line) of every traceback entry after the caller's frame."""
    tb = exc.__traceback__
    entries = []
    first = True
    while tb is not None:
        if not first:
            code = tb.tb_frame.f_code
            entries.append((code.co_filename, code.co_name, tb.tb_lineno))
        first = False
        tb = tb.tb_next
    return entries


def caught(kind, fn, *args, **kwargs):
    """The exception `fn` raises, with its traceback (assertRaises drops it)."""
    try:
        fn(*args, **kwargs)
    except kind as exc:
        return exc
    raise AssertionError("%s not raised by %r" % (kind.__name__, fn))


def run_python(code, *args, **env_extra):
    """Run `code` in a fresh interpreter with the test PYTHONPATH."""
    env = dict(os.environ)
    env.update(env_extra)
    return subprocess.run(
        [sys.executable] + list(args) + ["-c", code],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
    )


class ModuleTestCase(unittest.TestCase):
    def setUp(self):
        reset()

    def assertEntry(self, exc, name, line):
        """Exactly one module entry after the caller's frame."""
        self.assertEqual(module_entries(exc), [(FILE_NAME, name, line)])
