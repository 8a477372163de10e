"""The wheels in dist/ as pip sees them, after tools/release.sh:

    python3 tests/wheels/check_wheels.py [DIST]

- every module in dist/, loose or in a wheel, is byte for byte a file whose
  suites passed: its SHA-256 is in dist/TESTED;
- every Linux interpreter of the release build gets a fresh venv, pip
  installs the wheel meant for it offline, the module imports from the venv,
  the module suite passes against it, and pip uninstalls it again;
- every file of another Linux machine (cmake/platforms.tsv) and every
  Windows file: pip, asked for that interpreter's platform, version and ABI,
  picks exactly its wheel, and the module unpacked from it imports in its
  interpreter (under qemu-user, or under Wine);
- one wrong pairing per platform: pip must find nothing to install;
- every wheel carries the licence: pyproject.toml's SPDX expression and
  License-File lines in its METADATA, and each licence file, as in the
  checkout, under .dist-info/licenses/.

Run it with an interpreter that has pip (it asks pip on behalf of the
other machines' and the Windows interpreters). Ends with the line "N passed, N failed".
"""
import glob
import hashlib
import os
import re
import shutil
import sys
import tempfile
import zipfile

from pip_venv import (FIND, IMPORTS_FROM, PIP, ROOT, check, check_installed, clean_env,
                      ext_suffix, finish, not_tested, rows, run, venv_with_pip)

sys.path.insert(0, os.path.join(ROOT, "tools"))
from make_wheel import platforms, pyproject, row_of  # noqa: E402  (cmake/platforms.tsv's reader)

DIST = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "dist"))
# The test builds the release gathered from.
LINUX = os.path.join(ROOT, "build")
WINDOWS = os.path.join(ROOT, "build", "windows")
MODULE = re.compile(r"^addonGate\..*\.(so|pyd)$")
# Under Wine the folder is Z:\..., in any case of letters.
IMPORTS_FROM_WINDOWS = ("import addonGate, os, sys; "
                        "sys.exit(os.path.dirname(addonGate.__file__).lower() != sys.argv[1].lower())")


def wheels():
    return sorted(os.path.basename(w) for w in glob.glob(os.path.join(DIST, "*.whl")))


def tested_modules():
    """The SHA-256 sums dist/TESTED records, each with its line."""
    record = {}
    path = os.path.join(DIST, "TESTED")
    if os.path.exists(path):
        for line in open(path):
            if line.strip():
                record[line.split()[0]] = line.strip()
    return record


def shipped_as_tested():
    record = tested_modules()
    for name in sorted(os.listdir(DIST)):
        path = os.path.join(DIST, name)
        if MODULE.match(name):
            with open(path, "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            check(digest in record, "dist/%s is a file its suites passed on" % name)
        elif name.endswith(".whl"):
            with zipfile.ZipFile(path) as archive:
                for member in archive.namelist():
                    if MODULE.match(os.path.basename(member)):
                        digest = hashlib.sha256(archive.read(member)).hexdigest()
                        check(digest in record, "%s: %s is a file its suites passed on"
                              % (name, member))


def linux(work):
    first_venv = None
    for tag, exe in rows(os.path.join(LINUX, "interpreters.tsv")):
        module = "addonGate" + ext_suffix(exe)
        if not os.path.exists(os.path.join(DIST, module)):
            not_tested(tag, "dist/ holds no %s" % module)
            continue
        python = venv_with_pip(exe, os.path.join(work, "venv-" + tag), tag)
        if python is None:
            continue
        got = run([python] + PIP + ["install"] + FIND + [DIST, "addonGate"], env=clean_env())
        if not check(got.returncode == 0, "%s: pip install addonGate" % tag, got.stdout):
            continue
        check_installed(python, tag)
        if first_venv is None:
            first_venv = (tag, python, module)
    if first_venv is not None:
        tag, python, module = first_venv
        # A wheel for another interpreter, alone in its folder.
        own = [w for w in wheels() if "-%s-" % tag.split("-")[0] in w]
        others = [w for w in wheels() if "_%s." % os.uname().machine in w and w not in own]
        if others:
            folder = os.path.join(work, "wrong-linux")
            os.makedirs(folder)
            shutil.copy(os.path.join(DIST, others[0]), folder)
            got = run([python] + PIP + ["install"] + FIND + [folder, "addonGate"],
                      env=clean_env())
            check(got.returncode != 0, "%s: pip refuses %s" % (tag, others[0]), got.stdout)


def unpack(work, name, wheel):
    folder = os.path.join(work, "unpacked-" + name)
    with zipfile.ZipFile(wheel) as archive:
        archive.extractall(folder)
    return folder


def cross(work, arch, machine):
    """The wheels of one other Linux machine, for the interpreters its
    release build ran (under qemu-user, or natively where this machine can)."""
    builds = rows(os.path.join(ROOT, "build", arch, "interpreters.tsv"))
    platform_tags = []
    for tag, exe in builds:
        python_tag = tag.rstrip("d")
        abi = tag
        found = [w for w in wheels() if "-%s-%s-" % (python_tag, abi) in w and
                 w.endswith("_%s.whl" % machine)]
        if not found:
            not_tested("%s %s" % (machine, tag), "dist/ holds no %s wheel of it" % machine)
            continue
        platform_tags = found[0][:-len(".whl")].split("-")[-1].split(".")
        for platform_tag in platform_tags:
            got, picked = pip_download(work, "pick-%s-%s-%s" % (arch, tag, platform_tag),
                                       platform_tag, python_tag, abi)
            check(got.returncode == 0 and picked == found, "%s %s: pip asked for %s picks %s"
                  % (machine, tag, platform_tag, ", ".join(picked) or "nothing"), got.stdout)
        unpacked = unpack(work, "%s-%s" % (arch, tag), os.path.join(DIST, found[0]))
        got = run([exe, "-c", IMPORTS_FROM, unpacked],
                  env=clean_env(PYTHONPATH=os.pathsep.join([unpacked, os.path.join(ROOT, "host")])))
        check(got.returncode == 0, "%s %s: the module from %s imports in its interpreter"
              % (machine, tag, found[0]), got.stdout)
    if platform_tags:
        # A version no file of this machine was built for.
        built = {int(tag[3:].rstrip("d")) for tag, _ in builds}
        other = "cp3%d" % next(m for m in range(12, 100) if m not in built)
        got, picked = pip_download(work, "wrong-" + arch, platform_tags[0], other, other)
        check(got.returncode != 0 and not picked, "%s %s: pip finds no wheel" % (machine, other),
              got.stdout)


def windows_abi(python_tag):
    """The ABI tag a Windows CPython of that version asks for: up to 3.7 it
    carries pymalloc's m."""
    return python_tag + ("m" if int(python_tag[3:]) < 8 else "")


def windows_wheel_of(file):
    row, digits = row_of(file)
    python_tag, platform = "cp" + digits, row["wheel"]
    found = [w for w in wheels() if w.endswith("-%s.whl" % platform) and "-%s-" % python_tag in w]
    return python_tag, platform, found


def pip_download(work, name, platform, python_tag, abi):
    """What pip would fetch for a CPython of that version, ABI and platform."""
    folder = os.path.join(work, name)
    got = run([sys.executable] + PIP + ["download"] + FIND +
              [DIST, "--only-binary=:all:", "--no-deps", "--platform", platform,
               "--python-version", "3." + python_tag[3:], "--implementation", "cp",
               "--abi", abi, "-d", folder, "addonGate"])
    picked = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    return got, picked


def windows(work):
    builds = rows(os.path.join(WINDOWS, "windows_builds.tsv"))
    wine = os.path.join(ROOT, "tests", "windows", "wine_python.sh")
    wine32_gap = run(["sh", "-c", ". '%s/tests/windows/wine_loader.sh' && tests_wine_32bit_gap"
                      % ROOT]).stdout.strip()
    env = dict(os.environ, WINEPREFIX=os.path.join(WINDOWS, "wineprefix"))
    for tag, file, runtime in builds:
        python_tag, platform, found = windows_wheel_of(file)
        if not found:
            not_tested(tag, "dist/ holds no wheel of %s" % file)
            continue
        got, picked = pip_download(work, "pick-" + tag, platform, python_tag,
                                   windows_abi(python_tag))
        if not check(got.returncode == 0 and picked == found,
                     "%s: pip picks %s" % (tag, ", ".join(picked) or "nothing"), got.stdout):
            continue
        if platform == "win32" and wine32_gap:
            continue  # its suites ran it where 32-bit programs run (dist/TESTED)
        unpacked = unpack(work, tag, os.path.join(work, "pick-" + tag, picked[0]))
        got = run([wine, runtime, "-c", IMPORTS_FROM_WINDOWS, "Z:" + unpacked.replace("/", "\\")],
                  env=dict(env, PYTHONPATH=os.pathsep.join([unpacked, os.path.join(ROOT, "host")])))
        check(got.returncode == 0, "%s: the module from %s imports under Wine" % (tag, picked[0]),
              got.stdout)
    # An interpreter no file was built for: the other platform of a shipped
    # version.
    shipped = {windows_wheel_of(file)[:2] for _, file, _ in builds}
    tags = [row["wheel"] for row in platforms().values() if row["kind"] == "windows"]
    for python_tag, platform in sorted(shipped):
        other = next(t for t in tags if t != platform)
        if (python_tag, other) not in shipped:
            got, picked = pip_download(work, "wrong-windows", other, python_tag,
                                       windows_abi(python_tag))
            check(got.returncode != 0 and not picked,
                  "%s %s: pip finds no wheel" % (python_tag, other), got.stdout)
            break


def licence():
    project = pyproject()["project"]
    wanted = ["License-Expression: " + project["license"]] + \
        ["License-File: " + path for path in project["license-files"]]
    for wheel in wheels():
        with zipfile.ZipFile(os.path.join(DIST, wheel)) as archive:
            names = archive.namelist()
            info = sorted({n.split("/")[0] for n in names if n.split("/")[0].endswith(".dist-info")})
            if not check(len(info) == 1, "%s: one .dist-info (%s)" % (wheel, ", ".join(info))):
                continue
            lines = archive.read(info[0] + "/METADATA").decode().splitlines()
            check(all(line in lines for line in wanted), "%s: METADATA says %s"
                  % (wheel, "; ".join(wanted)), "\n".join(lines))
            differ = []
            for path in project["license-files"]:
                inside = "%s/licenses/%s" % (info[0], path)
                with open(os.path.join(ROOT, path), "rb") as f:
                    if inside not in names or archive.read(inside) != f.read():
                        differ.append(inside)
            check(not differ, "%s: holds %s" % (wheel, ", ".join(project["license-files"])),
                  "missing or not the checkout's: " + ", ".join(differ))


def main():
    if not wheels():
        check(False, "dist/ holds no wheel")
    else:
        shipped_as_tested()
        licence()
        with tempfile.TemporaryDirectory() as work:
            linux(work)
            # The machines cross-built for, as tools/platforms.sh lists them.
            for arch in sorted(run([os.path.join(ROOT, "tools", "platforms.sh")]).stdout.split()):
                cross(work, arch, platforms()[arch]["machine"])
            windows(work)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
