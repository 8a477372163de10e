#!/bin/sh
# Build addonGate for this machine's python3 (when needed) and start the demo
# web host on 127.0.0.1.   Usage: host/run_demo.sh [PORT] [--plugin-dir DIR]
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$ROOT/build/demo"
PY=$(command -v python3) || { echo "run_demo.sh: python3 not found on PATH" >&2; exit 1; }
SUFFIX=$("$PY" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')

find_module() {
    for f in "$BUILD"/*/addonGate"$SUFFIX"; do
        case "$f" in *-variants/*) continue ;; esac
        [ -f "$f" ] && { echo "$f"; return 0; }
    done
    return 1
}

if command -v cmake >/dev/null 2>&1; then
    # Incremental: a no-op when the module is up to date with the sources.
    if [ ! -f "$BUILD/CMakeCache.txt" ]; then
        echo "Configuring addonGate for $PY in $BUILD ..."
        # Only the module itself: no test variants, no unit tests.
        cmake -S "$ROOT" -B "$BUILD" -DADDONGATE_PYTHONS="$PY" -DADDONGATE_VARIANTS=OFF \
              -DADDONGATE_UNIT_TESTS=OFF >/dev/null
    fi
    echo "Building addonGate for $PY (the first build takes a minute) ..."
    cmake --build "$BUILD" -j2 >/dev/null
elif ! find_module >/dev/null; then
    echo "run_demo.sh: cmake is needed to build addonGate (tools/setup.sh core installs it)" >&2
    exit 1
fi

MODULE=$(find_module) || { echo "run_demo.sh: no addonGate$SUFFIX under $BUILD after the build (does $PY have its development headers?)" >&2; exit 1; }
PYTHONPATH="$(dirname "$MODULE"):$ROOT/host${PYTHONPATH:+:$PYTHONPATH}"
export PYTHONPATH
echo "Using $MODULE"
exec "$PY" "$ROOT/host/demo_server.py" "$@"
