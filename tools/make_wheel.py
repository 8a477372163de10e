"""Packs one module file as a wheel, with the wheel package's `pack`:

    python3 tools/make_wheel.py MODULE_FILE STUB VERSION DEST_DIR

The tags come from the file itself: the interpreter and ABI from its name
(addonGate.cpython-311d-x86_64-linux-gnu.so, addonGate.cp38-win_amd64.pyd),
a Linux file's platform from its ELF header and the newest glibc symbol
version it needs; the name and summary from pyproject.toml. Prints the
wheel's path. Run it with an interpreter that has the wheel package and reads
TOML (Debian's /usr/bin/python3: 3.11, with python3-wheel).
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

from make_sdist import pyproject

# The legacy names pip before 20.3 knows these glibc levels by.
LEGACY_MANYLINUX = {(2, 5): "manylinux1", (2, 12): "manylinux2010", (2, 17): "manylinux2014"}
# The oldest level a manylinux tag names.
OLDEST_MANYLINUX = (2, 5)
ELF_MACHINES = {62: "x86_64", 183: "aarch64"}


def fail(message):
    sys.exit("make_wheel: %s" % message)


def elf_machine(path):
    with open(path, "rb") as f:
        header = f.read(20)
    if header[:4] != b"\x7fELF":
        fail("%s is no ELF file" % path)
    order = "<" if header[5] == 1 else ">"
    machine = struct.unpack(order + "H", header[18:20])[0]
    if machine not in ELF_MACHINES:
        fail("%s: ELF machine %d has no manylinux tag here" % (path, machine))
    return ELF_MACHINES[machine]


def newest_glibc(path):
    """The newest GLIBC_x.y[.z] version the file needs, as (x, y)."""
    out = subprocess.run(["readelf", "-V", "-W", path], stdout=subprocess.PIPE,
                         universal_newlines=True, check=True).stdout
    found = [tuple(int(p) for p in v.split(".")) for v in re.findall(r"Name: GLIBC_([0-9.]+)", out)]
    if not found:
        fail("%s needs no versioned glibc symbol; readelf -V said:\n%s" % (path, out))
    return max(found)[:2]


def tags_for(path):
    """(python tag, ABI tag, platform tags, minor version) of a module file."""
    name = os.path.basename(path)
    linux = re.match(r"^addonGate\.cpython-3(\d+)(d?)(m?)-[^.]+\.so$", name)
    windows = re.match(r"^addonGate\.cp3(\d+)-(win32|win_amd64)\.pyd$", name)
    if linux:
        minor, debug, pymalloc = linux.groups()
        abi = "cp3%s%s%s" % (minor, debug, pymalloc)
        arch = elf_machine(path)
        level = max(newest_glibc(path), OLDEST_MANYLINUX)
        platforms = ["manylinux_%d_%d_%s" % (level + (arch,))]
        if level in LEGACY_MANYLINUX:
            platforms.append("%s_%s" % (LEGACY_MANYLINUX[level], arch))
    elif windows:
        minor, platform = windows.groups()
        # Up to 3.7 the ABI tag carries pymalloc's m, as those interpreters' own.
        abi = "cp3%s%s" % (minor, "m" if int(minor) < 8 else "")
        platforms = [platform]
    else:
        fail("%s is no module file name this knows" % name)
    return "cp3" + minor, abi, platforms, int(minor)


def main(argv):
    if len(argv) != 5:
        fail("usage: make_wheel.py MODULE_FILE STUB VERSION DEST_DIR")
    module, stub, version, dest = argv[1:]
    python_tag, abi, platforms, minor = tags_for(module)
    project = pyproject()["project"]
    name, summary = project["name"], project["description"]
    # File names carry the normalised name, as the source distribution's does
    # and as build backends write them.
    file_name = re.sub(r"[-_.]+", "_", name).lower()
    with tempfile.TemporaryDirectory() as work:
        tree = os.path.join(work, "tree")
        info = os.path.join(tree, "%s-%s.dist-info" % (file_name, version))
        os.makedirs(info)
        shutil.copy(module, tree)
        shutil.copy(stub, tree)
        with open(os.path.join(info, "METADATA"), "w") as f:
            f.write("Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: %s\n"
                    "Requires-Python: ==3.%d.*\n" % (name, version, summary, minor))
        with open(os.path.join(info, "WHEEL"), "w") as f:
            f.write("Wheel-Version: 1.0\nGenerator: tools/make_wheel.py\nRoot-Is-Purelib: false\n")
            for platform in platforms:
                f.write("Tag: %s-%s-%s\n" % (python_tag, abi, platform))
        subprocess.run([sys.executable, "-m", "wheel", "pack", "--dest-dir", work, tree],
                       stdout=subprocess.DEVNULL, check=True)
        made = [f for f in os.listdir(work) if f.endswith(".whl")]
        if len(made) != 1:
            fail("wheel pack left %r" % made)
        # pack sorts the platform tags; the usual order names the glibc level first.
        wanted = "%s-%s-%s-%s-%s.whl" % (file_name, version, python_tag, abi, ".".join(platforms))
        shutil.move(os.path.join(work, made[0]), os.path.join(dest, wanted))
    print(os.path.join(dest, wanted))


if __name__ == "__main__":
    main(sys.argv)
