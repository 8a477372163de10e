"""The Windows files' matrix: one CMake build per runtime folder, each
built and tested on its own, two side by side, and one summary.

    python3 tools/matrix.py windows [--plan] [--runtimes DIR]

DIR (default: ADDONGATE_WIN_RUNTIMES) holds one folder per Windows CPython,
named py3X-<machine> for a Windows row of cmake/platforms.tsv. Each build
goes to build/windows/<tag>/ with its own test record (junit.xml, and
junit-vm.xml for the suites run in tools/vm-run.sh's emulated machine);
build/windows/windows_builds.tsv lists them for tools/tested_files.py and
not_tested.txt names what was not tested. --plan prints the builds and the
not-tested lines and builds nothing. ADDONGATE_WIN32_VM_SKIP (kinds of
tests) and ADDONGATE_WIN32_VM_FORCE=1 steer the emulated machine's runs.
Exit status 1 when a folder is no runtime or a build or test failed.
"""
import concurrent.futures
import glob
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from make_wheel import platforms  # noqa: E402

OUT = os.path.join(ROOT, "build", "windows")
LOADER = os.path.join(ROOT, "tests", "windows", "wine_loader.sh")
# The emulated machine's runs make their prefix on its own tmpfs.
VM_PREFIX = "/dev/shm/addongate-wineprefix"


def fail(message):
    sys.exit("matrix: " + message)


def pe_machine(path):
    """A PE file's COFF machine number in hex (8664), or None."""
    with open(path, "rb") as f:
        head = f.read(64)
        if len(head) < 64 or head[:2] != b"MZ":
            return None
        f.seek(int.from_bytes(head[60:64], "little"))
        header = f.read(6)
    return "%04x" % int.from_bytes(header[4:6], "little") if header[:4] == b"PE\0\0" else None


def natural(name):
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", name)]


def plan(runtimes):
    """(builds, not tested): a build is (tag, file, folder, row); the rows
    without a compiler or without any folder are named instead."""
    rows = [row for row in platforms().values() if row["kind"] == "windows"]
    by_machine = {row["machine"]: row for row in rows}
    by_number = {row["header"].split()[-1]: row["machine"] for row in rows}
    shipped, required, not_tested, built = [], [], [], []
    for row in rows:
        folders = ["py%s-%s" % (v.replace(".", ""), row["machine"]) for v in row["versions"].split()]
        shipped += folders
        triple = row["triple"]
        if not (shutil.which(triple + "-g++-win32") or shutil.which(triple + "-g++")):
            not_tested.append("%s: no %s-g++ here (tools/setup.sh %s), so no file of it is built"
                              % (row["arch"], triple, row["setup"]))
        elif runtimes and not glob.glob(os.path.join(runtimes, "py3*-" + row["machine"])):
            not_tested.append("%s: no runtime folder py3X-%s in %s"
                              % (row["arch"], row["machine"], runtimes))
        else:
            built.append(row["arch"])
            required += folders
    hint = ("set ADDONGATE_WIN_RUNTIMES to a folder with %s/ Windows CPython installations, "
            "e.g. ADDONGATE_WIN_RUNTIMES=../shared/windows" % "/ and ".join(shipped))
    if not runtimes:
        fail("no Windows CPython runtimes: " + hint)
    for folder in required:
        for name in ("python.exe", "include/Python.h"):
            if not os.path.exists(os.path.join(runtimes, folder, name)):
                fail("%s is missing: %s" % (os.path.join(runtimes, folder, name), hint))

    named_as = " or ".join("py3X-" + machine for machine in by_machine)
    builds, faults = [], []
    for folder in sorted(os.listdir(runtimes), key=natural):
        path = os.path.join(runtimes, folder)
        if not os.path.isdir(path):
            continue
        found = re.match(r"^py3(\d+)-(%s)$" % "|".join(map(re.escape, by_machine)), folder)
        if not found:
            if folder.startswith("py"):
                faults.append("%s: not named %s" % (folder, named_as))
            continue
        minor, machine = found.groups()
        row = by_machine[machine]
        if row["arch"] not in built:
            continue
        dlls = sorted(d for d in os.listdir(path) if re.match(r"^python3\d+\.dll$", d))
        fault = None
        if int(minor) < 6:
            fault = "CPython 3.%s is older than 3.6" % minor
        elif not dlls:
            fault = "no python3X.dll"
        elif dlls != ["python3%s.dll" % minor]:
            fault = "holds %s, not python3%s.dll" % (" ".join(dlls), minor)
        elif not os.path.exists(os.path.join(path, "include", "Python.h")):
            fault = "no include/Python.h"
        elif not os.path.exists(os.path.join(path, "python.exe")):
            fault = "no python.exe"
        else:
            for name in ["python.exe"] + dlls:
                number = pe_machine(os.path.join(path, name))
                if number is None:
                    fault = "%s is no PE file" % name
                elif by_number.get(number, number) != machine:
                    fault = "%s is %s, the folder name says %s" % (
                        name, by_number.get(number, number), machine)
                if fault:
                    break
        if fault:
            faults.append("%s: %s" % (folder, fault))
            continue
        file = "addonGate." + row["file"].replace("@", "3" + minor)
        builds.append((file[len("addonGate."):].rsplit(".", 1)[0], file, path, row))
    if faults:
        fail("not a Windows CPython runtime in %s:\n  %s" % (runtimes, "\n  ".join(faults)))
    return builds, not_tested


def sh(command):
    return subprocess.run(["sh", "-c", command], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, universal_newlines=True).stdout.strip()


def where_run(builds):
    """How each build's suites run (native, vm, or why they do not), and
    whether the emulated machine is needed."""
    gap = sh(". '%s' && tests_wine_32bit_gap" % LOADER)
    force = os.environ.get("ADDONGATE_WIN32_VM_FORCE", "") not in ("", "0", "OFF")
    vm = False
    if (gap and os.path.exists("/usr/lib/wine/wine")) or force:
        check = subprocess.run([os.path.join(ROOT, "tools", "setup.sh"), "--check", "vm"],
                               stdout=subprocess.PIPE, universal_newlines=True)
        vm = check.returncode == 0
        if not vm and gap:
            gap += " and the emulated machine cannot be made: " + check.stdout.strip()
    modes = {}
    for tag, _, _, row in builds:
        modes[tag] = "native"
        if row["header"].split()[0] == "PE32" and vm:
            modes[tag] = "vm"
        elif row["header"].split()[0] == "PE32" and gap:
            modes[tag] = "%s under Wine (%s; the file was built and checked)" % (tag, gap)
    return modes


def run_build(tag, file, runtime, row, mode, prefix):
    """Configures, builds and tests one file; (tag, failed step or None)."""
    folder = os.path.join(OUT, tag)
    log = open(os.path.join(OUT, tag + ".log"), "w")
    config = ["-DCMAKE_TOOLCHAIN_FILE=%s/cmake/toolchains/mingw-w64.cmake" % ROOT,
              "-DADDONGATE_WIN_ARCH=" + row["arch"], "-DCMAKE_BUILD_TYPE=Release",
              "-DADDONGATE_WIN_RUNTIME=" + runtime, "-DADDONGATE_WERROR=ON",
              "-DADDONGATE_WINEPREFIX=" + (VM_PREFIX if mode == "vm" else prefix),
              "-DADDONGATE_EMULATED=%s" % ("ON" if mode == "vm" else "OFF"),
              "-DADDONGATE_WIN32_VM_SKIP=" + os.environ.get("ADDONGATE_WIN32_VM_SKIP", "").replace(" ", ";"),
              "-DADDONGATE_NOT_RUN=" + ("" if mode in ("native", "vm") else mode)]
    steps = [("configure", ["cmake", "-S", ROOT, "-B", folder] + config),
             ("build", ["cmake", "--build", folder]),
             ("test", ["ctest", "--test-dir", folder, "-LE", "^win32_vm$", "--timeout", "900",
                       "--output-on-failure", "--output-junit", os.path.join(folder, "junit.xml")])]
    with log:
        for step, command in steps:
            if subprocess.run(command, stdout=log, stderr=subprocess.STDOUT).returncode != 0:
                return tag, step
    return tag, None


def windows(runtimes, only_plan):
    if runtimes:
        runtimes = os.path.normpath(os.path.join(ROOT, runtimes))
    builds, not_tested = plan(runtimes)
    modes = where_run(builds)
    if only_plan:
        for tag, file, runtime, _ in builds:
            print("build\t%s\t%s\t%s\t%s" % (tag, file, runtime, modes[tag]))
        for line in not_tested:
            print("== NOT TESTED: " + line)
        return 0
    if not (shutil.which("wine") and shutil.which("wineboot")):
        fail("Wine is missing: tools/setup.sh windows win32")
    shutil.rmtree(OUT, ignore_errors=True)
    os.makedirs(OUT)
    with open(os.path.join(OUT, "windows_builds.tsv"), "w") as f:
        for tag, file, runtime, _ in builds:
            f.write("%s\t%s\t%s\n" % (tag, file, runtime))
    # One throwaway Wine prefix for every build's tests, made before the first.
    prefix = os.path.join(OUT, "wineprefix")
    made = subprocess.run(["sh", "-c", ". '%s' && tests_wineboot </dev/null" % LOADER],
                          env=dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all"))
    if made.returncode != 0:
        fail("the Wine prefix %s could not be made" % prefix)

    failed = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        jobs = [pool.submit(run_build, *build, modes[build[0]], prefix) for build in builds]
        for job in concurrent.futures.as_completed(jobs):
            tag, step = job.result()
            print("== %s: %s" % (tag, "passed" if step is None else step + " failed"), flush=True)
            if step:
                with open(os.path.join(OUT, tag + ".log")) as log:
                    sys.stdout.write(log.read())
                failed.append(tag)

    # The -win32 suites that need the emulated machine, all in one boot.
    in_vm = [os.path.join(OUT, tag) for tag, *_ in builds if modes[tag] == "vm" and tag not in failed]
    if in_vm:
        started = time.time()
        try:
            status = subprocess.run([os.path.join(ROOT, "tools", "vm-run.sh"), "sh",
                                     os.path.join(ROOT, "tests", "windows", "vm_suites.sh"),
                                     VM_PREFIX, shutil.which("ctest")] + in_vm,
                                    cwd=ROOT, timeout=3600).returncode
        except subprocess.TimeoutExpired:
            status = "timed out"
        took = "in the emulated machine (tools/vm-run.sh), %d s in all" % (time.time() - started)
        print("== the -win32 files' suites ran " + took)
        with open(os.path.join(OUT, "win32_vm.txt"), "w") as f:
            f.write(took + "\n")
        if status != 0:
            failed.append("the emulated machine's run (%s)" % status)

    for tag, *_ in builds:
        try:
            with open(os.path.join(OUT, tag, "not_tested.txt")) as f:
                not_tested += [line.rstrip("\n") for line in f if line.strip()]
        except OSError:
            pass
    with open(os.path.join(OUT, "not_tested.txt"), "w") as f:
        f.writelines(line + "\n" for line in not_tested)
    for line in not_tested:
        print("== NOT TESTED: " + line)
    if failed:
        print("== failed: " + ", ".join(failed))
    return 1 if failed else 0


def main(argv):
    args = [a for a in argv if a != "--plan"]
    runtimes = os.environ.get("ADDONGATE_WIN_RUNTIMES", "")
    if len(args) == 3 and args[1] == "--runtimes":
        runtimes = args.pop()
        args.pop()
    if args != ["windows"]:
        sys.exit(__doc__)
    return windows(runtimes, "--plan" in argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
