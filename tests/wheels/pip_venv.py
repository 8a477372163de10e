"""What the pip checks share: a fresh venv per interpreter, the checks on the
module pip installed there (imported from the venv, the module suite passing
against it, pip uninstall removing it), and the tally that ends a script with
"N passed, N failed"."""
import os
import re
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TESTS = os.path.join(ROOT, "tests")
STUBS = os.path.join(TESTS, "stubs")
PIP = ["-m", "pip", "--disable-pip-version-check", "--no-cache-dir"]
FIND = ["--no-index", "--find-links"]
# An import from the given folder, with the host's modules beside it.
IMPORTS_FROM = ("import addonGate, os, sys; "
                "sys.exit(not os.path.realpath(addonGate.__file__).startswith(sys.argv[1]))")

results = {"passed": 0, "failed": 0}


def run(cmd, **kwargs):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          stdin=subprocess.DEVNULL, universal_newlines=True, **kwargs)


def check(ok, what, out=""):
    results["passed" if ok else "failed"] += 1
    print("%s %s" % ("ok  " if ok else "FAIL", what))
    if not ok and out:
        print("     " + out.strip().replace("\n", "\n     ")[-3000:])
    return ok


def not_tested(what, why):
    print("== NOT TESTED: %s (%s)" % (what, why))


def finish():
    print("%d passed, %d failed" % (results["passed"], results["failed"]))
    return 1 if results["failed"] else 0


def wheelhouse():
    """The folder of build-backend wheels for builds without a package index
    (tools/release.sh takes the same): ADDONGATE_WHEELHOUSE, else
    ../shared/wheelhouse beside the checkout; None when there is no such
    folder."""
    folder = os.environ.get("ADDONGATE_WHEELHOUSE") or os.path.join(
        ROOT, os.pardir, "shared", "wheelhouse")
    return os.path.abspath(folder) if os.path.isdir(folder) else None


def rows(path):
    """A build's tab-separated list (interpreters.tsv, windows_builds.tsv);
    none when the build wrote none."""
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [line.rstrip("\n").split("\t") for line in f if line.strip()]


def clean_env(**extra):
    """The environment without the caller's Python, pip and build settings."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PYTHON", "ADDONGATE_", "PIP_", "VIRTUAL_ENV"))}
    env.update(PYTHONDONTWRITEBYTECODE="1", **extra)
    return env


def ask(python, code):
    return run([python, "-c", code], env=clean_env()).stdout.strip()


def ext_suffix(python):
    return ask(python, "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))")


def venv_with_pip(exe, folder, label):
    """A fresh venv of `exe` in `folder`: its python, or None when the venv
    has no pip: named as not tested where the interpreter has no ensurepip
    (Debian ships it apart), a failure where it has."""
    made = run([exe, "-m", "venv", folder], env=clean_env())
    python = os.path.join(folder, "bin", "python")
    pip = run([python] + PIP + ["--version"]) if made.returncode == 0 else made
    if pip.returncode != 0:
        if run([exe, "-c", "import ensurepip"], env=clean_env()).returncode == 0:
            check(False, "%s: python -m venv makes a venv with pip" % label,
                  made.stdout + ("" if pip is made else pip.stdout))
            return None
        # (venv's first sentence says why; its last line names the throwaway
        # folder.)
        said = " ".join(made.stdout.split()).split(". ")[0].rstrip(".")
        not_tested("pip install on %s" % label, "python -m venv made no venv with pip%s" %
                   (": " + said if said else ""))
        return None
    return python


def check_installed(python, label):
    """The module pip installed into the venv of `python`, with its stub: it
    imports from there, the module suite passes against it, and pip
    uninstall removes it."""
    site = os.path.realpath(ask(python, "import sysconfig; print(sysconfig.get_paths()['platlib'])"))
    module = "addonGate" + ext_suffix(python)
    env = clean_env(PYTHONPATH=STUBS)
    got = run([python, "-c", IMPORTS_FROM, site], env=env)
    check(got.returncode == 0 and os.path.exists(os.path.join(site, module)) and
          os.path.exists(os.path.join(site, "addonGate.pyi")),
          "%s: %s and the stub in the venv, imported from there" % (label, module), got.stdout)
    got = run([python, "-m", "unittest", "discover", "-s", "tests", "-t", "tests", "-p", "test_*.py"],
              cwd=ROOT, env=clean_env(PYTHONPATH=os.pathsep.join([STUBS, TESTS])))
    summary = re.findall(r"^(Ran \d+ tests.*|OK.*|FAILED.*)$", got.stdout, re.M)
    check(got.returncode == 0, "%s: module suite on the installed module: %s" %
          (label, ", ".join(summary)), got.stdout)
    got = run([python] + PIP + ["uninstall", "-y", "addonGate"], env=env)
    gone = run([python, "-c", "import addonGate"], env=env)
    left = [f for f in os.listdir(site) if "addongate" in f.lower()]
    check(got.returncode == 0 and gone.returncode != 0 and not left,
          "%s: pip uninstall removes it%s" % (label, " (left %s)" % ", ".join(left) if left else ""),
          got.stdout)
