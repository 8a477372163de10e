"""cmake --install puts each built module where its interpreter imports it.

Usage: install_check.py CMAKE BUILD_DIR. Installs twice into a temporary
folder: with --prefix (the modules and the stub land in the prefix itself)
and with DESTDIR alone (each module lands under its interpreter's platlib),
then imports every module from there in its own interpreter.
"""
import os
import subprocess
import sys
import tempfile

cmake, build = sys.argv[1:3]
host = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "host")
with open(os.path.join(build, "interpreters.tsv")) as f:
    builds = [line.rstrip("\n").split("\t") for line in f if line.strip()]

IMPORT = "import addonGate, sys; sys.stdout.write(addonGate.__file__)"


def ask(exe, code, path=None):
    env = dict(os.environ, PYTHONNOUSERSITE="1")
    if path is not None:
        env["PYTHONPATH"] = os.pathsep.join([path, host])
    out = subprocess.run([exe, "-c", code], env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True)
    if out.returncode:
        sys.exit("%s: %s" % (exe, out.stderr.strip()))
    return out.stdout


def install(*args, **env):
    subprocess.run([cmake, "--install", build] + list(args), check=True,
                   env=dict(os.environ, **env), stdout=subprocess.DEVNULL)


failures = []
with tempfile.TemporaryDirectory() as tmp:
    prefix, destdir = os.path.join(tmp, "prefix"), os.path.join(tmp, "dest")
    install("--prefix", prefix)
    install(DESTDIR=destdir)
    if not os.path.isfile(os.path.join(prefix, "addonGate.pyi")):
        failures.append("no addonGate.pyi in the prefix")
    for tag, exe in builds:
        platlib = ask(exe, "import sysconfig, sys; sys.stdout.write(sysconfig.get_paths()['platlib'])")
        for folder in (prefix, destdir + platlib):
            got = ask(exe, IMPORT, folder)
            if os.path.dirname(got) != folder:
                failures.append("%s imported %s, not from %s" % (tag, got, folder))
        if not os.path.isfile(os.path.join(destdir + platlib, "addonGate.pyi")):
            failures.append("%s: no addonGate.pyi beside the module" % tag)
for line in failures:
    print(line)
print("%d builds installed and imported, %d failures" % (len(builds), len(failures)))
sys.exit(1 if failures else 0)
