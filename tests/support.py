"""Helpers shared by the Python-level tests.

The test command puts the built module's folder and tests/stubs on
PYTHONPATH, so `import addonGate` finds the recording stand-ins for the
host's `commons` and `RunnerCore`.
"""
import gc
import itertools
import json
import os
import signal
import struct
import subprocess
import sys
import unittest

import commons
import RunnerCore
import addonGate
from model import FILE_NAME, LEGACY_BUILD  # noqa: F401 (the tests take them from here)

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


def child_ending(result):
    """How a child interpreter ended, for an assertion message: its exit
    status or the signal that killed it, then the end of its stderr."""
    code = result.returncode
    if code < 0:
        how = "killed by " + signal.Signals(-code).name
    else:  # a crash on Windows is an exit status such as 0xC0000005
        how = "exit status %s" % (hex(code) if code > 255 else code)
    return "child %s; stderr ends:\n%s" % (how, result.stderr[-2000:])


def child_json(test, code, *args, **env_extra):
    """Runs `code` in a fresh interpreter (see run_python) and gives the JSON
    value its last line of output holds; `test` fails with child_ending
    when the child did not exit normally."""
    result = run_python(code, *args, **env_extra)
    lines = result.stdout.strip().splitlines()
    if result.returncode != 0 or not lines:
        test.fail(child_ending(result))
    return json.loads(lines[-1])


def refcount_delta(fn, n):
    gc.collect()
    before = sys.gettotalrefcount()
    # Not range(n): its last number would stay bound afterwards, and from
    # 3.14 only integers up to 256 are immortal.
    for _ in itertools.repeat(None, n):
        fn()
    gc.collect()
    return sys.gettotalrefcount() - before


def leak_per_batch(fn, n=200):
    """Extra references left by n calls (constant measuring costs cancel)."""
    for _ in range(20):
        fn()
    for _ in range(3):
        extra = refcount_delta(fn, 2 * n) - refcount_delta(fn, n)
        if extra == 0:
            break
    return extra


class ModuleTestCase(unittest.TestCase):
    def setUp(self):
        reset()

    def assertEntry(self, exc, name, line):
        """Exactly one module entry after the caller's frame."""
        self.assertEqual(module_entries(exc), [(FILE_NAME, name, line)])


# ---- the interpreter's type version tags, read from outside ----------------
# Where the tag sits in a type object is found once, by watching it count:
# two classes tagged one after the other get consecutive tags.

_tag_offset = []


def _read_uint(address):
    import ctypes
    return ctypes.c_uint.from_address(address).value


def _tag_field():
    if not _tag_offset:
        for _ in range(5):
            made = [type("Tagged%d" % i, (object,), {}) for i in range(3)]
            for cls in made:
                getattr(cls, "_untagged_", None)  # the lookup hands out a tag
            for offset in range(0, type.__basicsize__ - 3, 4):
                a, b, c = (_read_uint(id(cls) + offset) for cls in made)
                if a and b == a + 1 and c == b + 1:
                    _tag_offset.append(offset)
                    return offset
        raise AssertionError("no version tag field found")
    return _tag_offset[0]


def version_tag(cls):
    """The tag the interpreter last gave `cls` (valid or not)."""
    return _read_uint(id(cls) + _tag_field())


# The type cache's reset; 3.13 gave it a new name and deprecates the old one.
clear_type_cache = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def retag(cls, tag, limit=10 ** 7):
    """Hands out version tags to a throwaway class until the next one would be
    `tag`, then has `cls` take it. True when `cls` got `tag` again: only where
    the interpreter restarted its counter (clear_type_cache up to 3.10)."""
    _tag_field()
    burner = type("Burner", (object,), {})
    for i in range(limit):
        burner.counter = i  # a change: the next lookup needs a new tag
        getattr(burner, "_untagged_", None)
        if version_tag(burner) + 1 >= tag:
            break
    getattr(cls, "_untagged_", None)
    return version_tag(cls) == tag
