"""Packs one module file as a wheel, with the wheel package's `pack`:

    python3 tools/make_wheel.py MODULE_FILE STUB VERSION DEST_DIR

The tags come from the file itself: the interpreter and ABI from its name
(addonGate.cpython-311d-x86_64-linux-gnu.so, addonGate.cp38-win_amd64.pyd),
the platform from the row of cmake/platforms.tsv whose file name it has (a
Linux file checked against its ELF header, and its glibc needs against the
row's tag); the name, summary and licence (its SPDX expression, and its
files, which go into .dist-info/licenses/) from pyproject.toml. Prints the
wheel's path. Run it with an interpreter that has the wheel package and
reads TOML (Debian's /usr/bin/python3: 3.11, with python3-wheel).
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PLATFORMS = os.path.join(ROOT, "cmake", "platforms.tsv")


def fail(message):
    sys.exit("make_wheel: %s" % message)


def pyproject():
    """pyproject.toml's tables."""
    try:
        import tomllib
    except ImportError:
        try:
            import tomli as tomllib
        except ImportError:
            fail("%s reads no TOML (3.11+, or tomli installed)" % sys.executable)
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        return tomllib.load(f)


def platforms():
    """The rows of cmake/platforms.tsv, by Debian architecture: each a dict
    from the column names of its "#arch" line to the row's values."""
    columns, rows = None, {}
    with open(PLATFORMS) as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if line.startswith("#arch\t"):
                columns = [fields[0][1:]] + fields[1:]
            elif line.strip() and not line.startswith("#"):
                rows[fields[0]] = dict(zip(columns, fields))
    return rows


def row_of(name):
    """(row, version digits) of the row of cmake/platforms.tsv a module
    file's name belongs to (311d for addonGate.cpython-311d-...), or
    (None, None)."""
    for row in platforms().values():
        before, after = row["file"].split("@")
        found = re.match(r"^addonGate\.%s(3\d+[a-z]*)%s$" % (re.escape(before), re.escape(after)),
                         name)
        if found:
            return row, found.group(1)
    return None, None


def check_elf(path, row):
    out = subprocess.run(["readelf", "-h", path], stdout=subprocess.PIPE,
                         universal_newlines=True).stdout
    machine = re.findall(r"^\s*Machine:\s*(.*?)\s*$", out, re.M)
    if machine != [row["header"]]:
        fail("%s is named for %s but is no ELF file for %s (readelf -h: %s)"
             % (path, row["arch"], row["header"], machine or "not ELF"))


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
    row, digits = row_of(name)
    if row is None:
        fail("%s is no module file name of cmake/platforms.tsv" % name)
    minor = re.match(r"3(\d+)", digits).group(1)
    platforms = row["wheel"].split(".")
    if row["kind"] == "linux":
        abi = "cp" + digits
        check_elf(path, row)
        level = tuple(int(p) for p in platforms[0].split("_")[1:3])
        needed = newest_glibc(path)
        if needed > level:
            fail("%s needs glibc %d.%d, newer than its tag %s" % ((name,) + needed + (platforms[0],)))
    else:
        # Up to 3.7 the ABI tag carries pymalloc's m, as those interpreters' own.
        abi = "cp3%s%s" % (minor, "m" if int(minor) < 8 else "")
    return "cp3" + minor, abi, platforms, int(minor)


def main(argv):
    if len(argv) != 5:
        fail("usage: make_wheel.py MODULE_FILE STUB VERSION DEST_DIR")
    module, stub, version, dest = argv[1:]
    python_tag, abi, platforms, minor = tags_for(module)
    project = pyproject()["project"]
    name, summary = project["name"], project["description"]
    licence, licence_files = project["license"], project["license-files"]
    # File names carry the normalised name, as the source distribution's does
    # and as build backends write them.
    file_name = re.sub(r"[-_.]+", "_", name).lower()
    with tempfile.TemporaryDirectory() as work:
        tree = os.path.join(work, "tree")
        info = os.path.join(tree, "%s-%s.dist-info" % (file_name, version))
        os.makedirs(info)
        shutil.copy(module, tree)
        shutil.copy(stub, tree)
        # License-Expression and License-File are metadata 2.4's (PEP 639);
        # the files go under .dist-info/licenses/ with their paths kept.
        for path in licence_files:
            os.makedirs(os.path.dirname(os.path.join(info, "licenses", path)), exist_ok=True)
            shutil.copy(os.path.join(ROOT, path), os.path.join(info, "licenses", path))
        with open(os.path.join(info, "METADATA"), "w") as f:
            f.write("Metadata-Version: 2.4\nName: %s\nVersion: %s\nSummary: %s\n"
                    "License-Expression: %s\n" % (name, version, summary, licence))
            for path in licence_files:
                f.write("License-File: %s\n" % path)
            f.write("Requires-Python: ==3.%d.*\n" % minor)
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
