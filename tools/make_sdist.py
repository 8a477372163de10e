"""Makes the source distribution with the project's own build backend, as a
PEP 517 front end would:

    python3 tools/make_sdist.py DEST_DIR

No front end (the `build` package) is at hand here, so this is the small part
of one an sdist needs: a throwaway venv, the packages `build-system.requires`
names installed there (offline from the wheel folder when there is one, see
wheelhouse()), and the backend's build_sdist hook called in the checkout's
root. What goes into the archive is pyproject.toml's to say. Prints the
sdist's path. Run it with a python3 that has venv and pip and reads TOML
(3.11+, or tomli installed).
"""
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Loads the backend named "module" or "module:object" and calls its hook.
HOOK = """
import importlib, sys
module, _, path = sys.argv[1].partition(":")
backend = importlib.import_module(module)
for name in filter(None, path.split(".")):
    backend = getattr(backend, name)
print(backend.build_sdist(sys.argv[2]))
"""


def wheelhouse():
    """The folder of build-backend wheels for builds without a package index:
    ADDONGATE_WHEELHOUSE, else ../shared/wheelhouse beside the checkout; None
    when there is no such folder."""
    folder = os.environ.get("ADDONGATE_WHEELHOUSE") or os.path.join(
        ROOT, os.pardir, "shared", "wheelhouse")
    return os.path.abspath(folder) if os.path.isdir(folder) else None


def pyproject():
    """pyproject.toml's tables (make_wheel.py reads the project's name there)."""
    try:
        import tomllib
    except ImportError:
        try:
            import tomli as tomllib
        except ImportError:
            sys.exit("%s reads no TOML (3.11+, or tomli installed)" % sys.executable)
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        return tomllib.load(f)


def main(argv):
    if len(argv) != 2:
        sys.exit("usage: make_sdist.py DEST_DIR")
    dest = os.path.abspath(argv[1])
    system = pyproject()["build-system"]
    found = wheelhouse()
    with tempfile.TemporaryDirectory() as work:
        venv = os.path.join(work, "venv")
        subprocess.run([sys.executable, "-m", "venv", venv], check=True,
                       stdout=subprocess.DEVNULL)
        python = os.path.join(venv, "bin", "python")
        subprocess.run([python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check"] +
                       (["--no-index", "--find-links", found] if found else []) +
                       system["requires"], check=True)
        out = subprocess.run([python, "-c", HOOK, system["build-backend"], dest], cwd=ROOT,
                             check=True, stdout=subprocess.PIPE, universal_newlines=True)
    # The backend talks on stdout too; the file name is the last line.
    print(os.path.join(dest, out.stdout.strip().splitlines()[-1]))


if __name__ == "__main__":
    main(sys.argv)
