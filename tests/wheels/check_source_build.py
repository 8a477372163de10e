"""Builds from source as a Python user does, offline, after tools/release.sh:

    python3 tests/wheels/check_source_build.py [--only TAG,...] [DIST]

For each interpreter of the Linux test build from 3.8 on whose venv has pip
(build/interpreters.tsv), a fresh venv where pip, with its default
build isolation, runs `pip install .` on a clean copy of the checkout (the
files git tracks or would, so no build folders); the module imports from the
venv, the module suite passes against it and pip uninstalls it. Then:
- the sdist in DIST (dist/) holds what a build needs, the licence (its
  files, and PKG-INFO's lines naming it) and no tests, tools, CI or host
  files, is in SHA256SUMS, is made alike in a checkout whose build folder
  links to / (as a Wine prefix does), and installs the same way for the
  oldest and the newest interpreter;
- `pip wheel .` run by the oldest with the newest first on PATH gives a wheel
  tagged for the oldest holding its module, and a build pointed at another
  interpreter than the one running it fails;
- the quick preset's configure step with Python_EXECUTABLE and another
  python3 first on PATH builds for the one named;
- `pip install -e .` for the newest imports and passes the suite.

--only (e.g. cp314,cp315) keeps those of the test build's interpreters;
a tag the test build does not list is a failure.

pip takes the build backend from the wheel folder ADDONGATE_WHEELHOUSE or
../shared/wheelhouse beside the checkout; without one nothing is built. Ends
with each build's time and "N passed, N failed".
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile

from pip_venv import (FIND, PIP, ROOT, ask, check, check_installed, clean_env, ext_suffix,
                      finish, not_tested, rows, run, venv_with_pip, wheelhouse)

sys.path.insert(0, os.path.join(ROOT, "tools"))
from make_wheel import pyproject  # noqa: E402

_parser = argparse.ArgumentParser(description="pip builds from the checkout and the sdist")
_parser.add_argument("--only", metavar="TAG,...", help="these interpreters of the test build only")
_parser.add_argument("dist", nargs="?", default=os.path.join(ROOT, "dist"))
ARGS = _parser.parse_args()
DIST = os.path.abspath(ARGS.dist)
ONLY = set(filter(None, ARGS.only.split(","))) if ARGS.only is not None else None
RELEASE = os.path.join(ROOT, "build")
# What a build needs and a user reads; and the folders the sdist must not hold.
SDIST_NEEDS = ["PKG-INFO", "pyproject.toml", "CMakeLists.txt", "README.md", "CHANGELOG.md",
               "class/module.cpp", "class/addonGate.pyi", "runtime/compat.h",
               "cmake/FindInterpreters.cmake", "cmake/SourceBuild.cmake"]
SDIST_NEVER = ["tests", "bench", "host", "tools", ".ci", "build", "dist", ".git"]
# The tags a wheel for this interpreter carries, as pip names them.
WHEEL_TAGS = ("import sys, sysconfig; v = 'cp%d%d' % sys.version_info[:2]; "
              "print('%s-%s%s-%s' % (v, v, 'd' if hasattr(sys, 'gettotalrefcount') else '', "
              "sysconfig.get_platform().replace('-', '_').replace('.', '_')))")

build_times = []


def clean_copy(work, name):
    """The checkout's files as git sees them, tracked or new, nothing ignored."""
    folder = os.path.join(work, name)
    files = subprocess.run(["git", "ls-files", "-z", "-c", "-o", "--exclude-standard"], cwd=ROOT,
                           stdout=subprocess.PIPE, check=True).stdout.decode().split("\0")
    for file in files:
        if file and os.path.isfile(os.path.join(ROOT, file)):
            os.makedirs(os.path.dirname(os.path.join(folder, file)), exist_ok=True)
            shutil.copy2(os.path.join(ROOT, file), os.path.join(folder, file))
    return folder


def pip_build(python, args, wheels, label=None, **env):
    """pip install or pip wheel, offline from the wheel folder; a build that
    succeeds with a label has its time noted."""
    start = time.time()
    got = run([python] + PIP + args + FIND + [wheels], env=clean_env(**env))
    seconds = time.time() - start
    if got.returncode == 0 and label:
        build_times.append((label, seconds))
    return got, seconds


def interpreters():
    """(tag, exe, minor) of the test build's interpreters from 3.8 on
    (of those --only names)."""
    found = []
    for tag, exe in rows(os.path.join(RELEASE, "interpreters.tsv")):
        minor = int(re.match(r"cp3(\d+)", tag).group(1))
        if minor >= 8 and (ONLY is None or tag in ONLY):
            found.append((tag, exe, minor))
    return found


def from_checkout(work, wheels):
    """pip install . per interpreter; returns those whose venv has pip."""
    usable = []
    for tag, exe, minor in interpreters():
        python = venv_with_pip(exe, os.path.join(work, "venv-" + tag), tag)
        if python is None:
            continue
        usable.append((tag, exe, minor))
        source = clean_copy(work, "src-" + tag)
        got, seconds = pip_build(python, ["install", source], wheels, tag)
        if check(got.returncode == 0, "%s: pip install . (%.1f s)" % (tag, seconds), got.stdout):
            check_installed(python, tag)
    return usable


def check_sdist_content(sdist):
    version = os.path.basename(sdist)[len("addongate-"):-len(".tar.gz")]
    top = "addongate-%s/" % version
    with tarfile.open(sdist) as archive:
        names = archive.getnames()
        info = archive.extractfile(top + "PKG-INFO") if top + "PKG-INFO" in names else None
        metadata = info.read().decode().splitlines() if info else []
    inside = [n[len(top):] for n in names if n.startswith(top)]
    check(len(inside) == len(names), "sdist: every file under %s" % top,
          "\n".join(n for n in names if not n.startswith(top)))
    missing = [n for n in SDIST_NEEDS if n not in inside]
    check(not missing, "sdist: holds %s" % ", ".join(SDIST_NEEDS), "missing: " + ", ".join(missing))
    project = pyproject()["project"]
    wanted = ["License-Expression: " + project["license"]] + \
        ["License-File: " + path for path in project["license-files"]]
    check(all(line in metadata for line in wanted) and
          all(path in inside for path in project["license-files"]),
          "sdist: holds %s, and PKG-INFO says %s" % (", ".join(project["license-files"]),
                                                     "; ".join(wanted)), "\n".join(metadata))
    banned = [n for n in inside if n.split("/")[0] in SDIST_NEVER]
    check(not banned, "sdist: holds nothing of %s" % ", ".join(SDIST_NEVER), "\n".join(banned))
    tracked = run(["git", "ls-files"], cwd=ROOT)
    if tracked.returncode == 0:
        known = set(tracked.stdout.splitlines()) | {"PKG-INFO"}
        foreign = [n for n in inside if n not in known]
        check(not foreign, "sdist: every file is one of the repository's", "\n".join(foreign))
    with open(os.path.join(DIST, "SHA256SUMS")) as f:
        listed = [line.split()[-1] for line in f if line.strip()]
    check(os.path.basename(sdist) in listed, "sdist: listed in SHA256SUMS")


def sdist_beside_builds(work, wheels, sdist):
    """The release's sdist command (python3 -m build --sdist, as
    tools/release.sh runs it) in a checkout whose build folder holds a Wine
    prefix, with its drive z: linked to /: the same files, in minutes at most
    (walked, the link leads through all of / and /proc without end)."""
    source = clean_copy(work, "src-links")
    drives = os.path.join(source, "build", "windows", "wineprefix", "dosdevices")
    os.makedirs(drives)
    os.symlink("/", os.path.join(drives, "z:"))
    out = os.path.join(work, "sdist-links")
    python = os.environ.get("ADDONGATE_WHEEL_PYTHON", "/usr/bin/python3")
    try:
        got = run([python, "-I", "-m", "build", "--sdist", "--outdir", out, source],
                  env=dict(os.environ, PIP_NO_INDEX="1", PIP_FIND_LINKS=wheels), timeout=300)
    except subprocess.TimeoutExpired:
        check(False, "sdist: made beside a Wine prefix's link to / (gave up after 300 s)")
        return
    made = [os.path.join(out, f) for f in sorted(os.listdir(out))] if got.returncode == 0 else []
    names = [tarfile.open(m).getnames() for m in made]
    check(names == [tarfile.open(sdist).getnames()],
          "sdist: made beside a Wine prefix's link to /, with the same files", got.stdout)


def from_sdist(work, wheels, chosen):
    found = [f for f in sorted(os.listdir(DIST)) if re.match(r"^addongate-[0-9.]+\.tar\.gz$", f)]
    if not check(len(found) == 1, "dist/ holds one sdist: %s" % ", ".join(found)):
        return
    sdist = os.path.join(DIST, found[0])
    check_sdist_content(sdist)
    sdist_beside_builds(work, wheels, sdist)
    for tag, exe, _ in chosen:
        python = venv_with_pip(exe, os.path.join(work, "venv-sdist-" + tag), tag)
        if python is None:
            continue
        label = "%s from the sdist" % tag
        got, seconds = pip_build(python, ["install", sdist], wheels, label)
        if check(got.returncode == 0, "%s: pip install %s (%.1f s)" % (tag, found[0], seconds),
                 got.stdout):
            check_installed(python, label)


def path_first(work, other):
    """PATH with `other` first as python3 and python."""
    fake = os.path.join(work, "fake-bin")
    os.makedirs(fake)
    for name in ("python3", "python"):
        os.symlink(other, os.path.join(fake, name))
    return fake + os.pathsep + os.environ.get("PATH", "")


def wrong_python_on_path(work, wheels, oldest, other, path):
    """The interpreter that runs the build is the one built for, whatever
    python3 comes first on PATH."""
    tag, exe, _ = oldest
    python = venv_with_pip(exe, os.path.join(work, "venv-wheel-" + tag), tag)
    if python is None:
        return
    source = clean_copy(work, "src-wheel")
    out = os.path.join(work, "wheel-" + tag)
    got, _ = pip_build(python, ["wheel", "--no-deps", "-w", out, source], wheels,
                       tag + ", pip wheel", PATH=path)
    made = sorted(os.listdir(out)) if os.path.isdir(out) else []
    wanted = "-%s.whl" % ask(python, WHEEL_TAGS)
    if check(got.returncode == 0 and len(made) == 1 and made[0].endswith(wanted),
             "%s, %s first on PATH: pip wheel . gives %s (tags *%s)" %
             (tag, other, ", ".join(made) or "nothing", wanted), got.stdout):
        with zipfile.ZipFile(os.path.join(out, made[0])) as archive:
            names = archive.namelist()
        files = sorted(n for n in names if ".dist-info/" not in n)
        check(files == sorted(["addonGate" + ext_suffix(python), "addonGate.pyi"]),
              "%s: the wheel holds %s" % (tag, ", ".join(files)))
        licences = pyproject()["project"]["license-files"]
        check(all(any(n.endswith(".dist-info/licenses/" + path) for n in names)
                  for path in licences),
              "%s: the wheel's .dist-info holds licenses/%s" % (tag, ", ".join(licences)),
              "\n".join(names))

    # A build told to use another interpreter than the one running it.
    got, _ = pip_build(python, ["wheel", "--no-deps", "-w", out + "-other", "--config-settings",
                                "cmake.define.Python_EXECUTABLE=" + other, source], wheels)
    check(got.returncode != 0 and "build with the interpreter the wheel is for" in got.stdout,
          "%s: a build for %s run by %s fails" % (tag, other, tag), got.stdout)


def quick_preset(work, exe, other, path):
    """The quick preset, given the interpreter as FindPython's users give it."""
    quick = clean_copy(work, "src-quick")
    got = run(["cmake", "--preset", "quick", "-DPython_EXECUTABLE=" + exe], cwd=quick,
              env=clean_env(PATH=path))
    listed = rows(os.path.join(quick, "build", "quick", "interpreters.tsv"))
    chosen = " ".join(row[-1] for row in listed)
    check(got.returncode == 0 and os.path.realpath(chosen) == os.path.realpath(exe),
          "quick preset with -DPython_EXECUTABLE=%s and %s first on PATH builds for %s" %
          (exe, other, chosen or "nothing"), got.stdout)


def editable(work, wheels, newest):
    tag, exe, _ = newest
    python = venv_with_pip(exe, os.path.join(work, "venv-editable-" + tag), tag)
    if python is None:
        return
    label = tag + ", editable"
    got, seconds = pip_build(python, ["install", "-e", clean_copy(work, "src-editable")], wheels,
                             label)
    if check(got.returncode == 0, "%s: pip install -e . (%.1f s)" % (tag, seconds), got.stdout):
        check_installed(python, label)


def main():
    wheels = wheelhouse()
    if wheels is None:
        not_tested("pip install . and the sdist",
                   "no wheel folder for the build backend: ADDONGATE_WHEELHOUSE or ../shared/wheelhouse")
        return finish()
    listed = os.path.relpath(os.path.join(RELEASE, "interpreters.tsv"), ROOT)
    if ONLY is not None:
        unknown = sorted(ONLY - {tag for tag, _, _ in interpreters()})
        check(not unknown, "--only names interpreters %s lists" % listed,
              "not there (or older than 3.8): " + ", ".join(unknown))
    if not check(bool(interpreters()), "the test build lists a CPython 3.8+ (%s)" % listed):
        return finish()
    with tempfile.TemporaryDirectory() as work:
        usable = from_checkout(work, wheels)
        release = [u for u in usable if not u[0].endswith("d")] or usable
        if release:
            oldest = min(release, key=lambda u: u[2])
            newest = max(release, key=lambda u: u[2])
            from_sdist(work, wheels, [oldest, newest] if newest != oldest else [oldest])
            if newest[2] != oldest[2]:
                path = path_first(work, newest[1])
                wrong_python_on_path(work, wheels, oldest, newest[1], path)
                quick_preset(work, oldest[1], newest[1], path)
            else:
                not_tested("a build with another python3 first on PATH", "one CPython version only")
            editable(work, wheels, newest)
    not_tested("source builds on macOS, Windows with MSVC, musl Linux and other CPUs",
               "no such machine here")
    print("== build times: " + ", ".join("%s %.1f s" % t for t in build_times))
    return finish()


if __name__ == "__main__":
    sys.exit(main())
