"""The reference host's WSGI application under gunicorn (threaded workers,
--preload), spoken to over loopback HTTP.

    PYTHONPATH=build/cp311-system:host /usr/bin/python3.11 tests/host/wsgi_gunicorn.py

gunicorn runs its own interpreter, so the module imported here (the build on
PYTHONPATH) must be the one built for that interpreter.
"""
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import addonGate
import commons
import host_routes
import RunnerCore

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FORM = {"Content-Type": "application/x-www-form-urlencoded"}
JSON = {"Content-Type": "application/json"}


def gunicorn_python():
    """(gunicorn script, the interpreter it runs) or a reason to skip."""
    script = shutil.which("gunicorn")
    if not script:
        return None, "gunicorn is not installed (tools/setup.sh core)"
    with open(script, "rb") as f:
        first = f.readline().decode("utf-8", "replace")
    words = first[2:].split() if first.startswith("#!") else []
    if not words or os.path.basename(words[0]) == "env":
        return None, "cannot tell which interpreter %s runs" % script
    python = os.path.realpath(words[0])
    if python != os.path.realpath(sys.executable):
        return None, "gunicorn runs %s, this test runs %s: use that interpreter and its build" % (
            python, sys.executable)
    return script, None


class GunicornTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        script, reason = gunicorn_python()
        if reason:
            raise unittest.SkipTest(reason)
        # A socket bound here and handed over: no race for a free port.
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        cls.port = listener.getsockname()[1]
        env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1",
                   PYTHONPATH=os.path.dirname(os.path.abspath(addonGate.__file__)))
        env.pop(RunnerCore.PLUGIN_DIR_ENV, None)
        cls.log = tempfile.TemporaryFile()
        try:
            cls.server = subprocess.Popen(
                [script, "-b", "fd://%d" % listener.fileno(), "-w", "2", "--threads", "4",
                 "--preload", "host.wsgi:application"],
                cwd=ROOT, env=env, stdout=cls.log, stderr=subprocess.STDOUT,
                pass_fds=(listener.fileno(),))
        finally:
            listener.close()
        deadline = time.monotonic() + 30
        while True:
            try:
                if cls.call("/")[0] == 200:
                    break
            except (OSError, http.client.HTTPException):
                pass
            if cls.server.poll() is not None or time.monotonic() > deadline:
                cls.stop()
                raise AssertionError("gunicorn did not come up:\n" + cls.log_text())
            time.sleep(0.1)

    @classmethod
    def tearDownClass(cls):
        cls.stop()

    @classmethod
    def stop(cls):
        if cls.server.poll() is None:
            cls.server.send_signal(signal.SIGTERM)  # graceful: workers finish, then exit
            try:
                cls.server.wait(30)
            except subprocess.TimeoutExpired:
                cls.server.kill()
                cls.server.wait()

    @classmethod
    def log_text(cls):
        cls.log.seek(0)
        return cls.log.read().decode("utf-8", "replace")

    @classmethod
    def call(cls, path, body=None, headers=None, method=None):
        conn = http.client.HTTPConnection("127.0.0.1", cls.port, timeout=10)
        try:
            conn.request(method or ("GET" if body is None else "POST"), path, body, headers or {})
            resp = conn.getresponse()
            return resp.status, json.loads(resp.read().decode("utf-8"))
        finally:
            conn.close()

    def burst_case(self, t, i):
        """(request, expected answer) number i of thread t, over every route;
        the crash report is checked by its first and last lines."""
        crash = (500, False, "Traceback (most recent call last):",
                 "ValueError: boom: the demo plugin failed on purpose")
        cases = [
            (("/",), (200, {"status": True, "routes": host_routes.ROUTES})),
            (("/plugin/demo/index",), (200, {"status": True, "msg": "hello from the demo plugin"})),
            (("/plugin/demo?s=greet&name=Ada%%20%d.%d" % (t, i),),
             (200, {"status": True, "msg": "hello, Ada %d.%d" % (t, i)})),
            (("/plugin/demo/add", "a=%d&b=%d" % (i, t), FORM), (200, {"status": True, "result": i + t})),
            (("/plugin/demo", json.dumps({"s": "add", "a": i, "b": 0.5}), JSON),
             (200, {"status": True, "result": i + 0.5})),
            (("/plugins",), (200, self.listing)),
            (("/plugin/nope/index",), (502, self.refused)),
            (("/plugin/demo/boom",), crash),
        ]
        return cases[i % len(cases)]

    @staticmethod
    def crash_lines(code, reply):
        lines = reply.get("msg", "").splitlines() or [""]
        return code, reply.get("status"), lines[0], lines[-1]

    def test_burst_over_every_route(self):
        RunnerCore.set_plugin_dir(RunnerCore.DEFAULT_PLUGIN_DIR)
        self.listing = json.loads(json.dumps(RunnerCore.get_plugin_list(1)))
        self.refused = RunnerCore.plugin_run("nope", "index", commons.dict_obj())
        deadline = time.monotonic() + 90
        errors = []

        def worker(t):
            for i in range(80):
                if time.monotonic() > deadline:
                    errors.append((t, i, "out of time"))
                    return
                request, expected = self.burst_case(t, i)
                try:
                    got = self.call(*request)
                except Exception as e:  # reported by the main thread
                    errors.append((t, i, request, repr(e)))
                    continue
                if (self.crash_lines(*got) if len(expected) == 4 else got) != expected:
                    errors.append((t, i, request, got))

        threads = [threading.Thread(target=worker, args=(t,)) for t in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors[:5], [], "%d of %d requests failed" % (len(errors), 4 * 80))

    def test_refusals(self):
        # An escaped "/" stays inside the plugin name, as under the demo server.
        self.assertEqual(self.call("/plugin/..%2Fdemo/index"),
                         (502, RunnerCore.plugin_run("../demo", "index", commons.dict_obj())))
        cases = [
            (("/plugin/demo/greet", "a" * (host_routes.MAX_BODY + 1), FORM), 413, "too large"),
            (("/plugin/demo/greet", b"3\r\na=1\r\n0\r\n\r\n", {"Transfer-Encoding": "chunked"}),
             411, "Content-Length"),
            (("/plugin/demo/greet", "x", {"Content-Type": "text/xml"}), 415, "json"),
            (("/elsewhere",), 404, "route"),
            (("/", None, None, "PUT"), 501, "PUT"),
        ]
        for request, status, marker in cases:
            code, reply = self.call(*request)
            self.assertEqual((code, reply["status"]), (status, False), request[:1])
            self.assertIn(marker, reply["msg"])

    def test_stops_cleanly(self):
        # Last (alphabetical order): the workers must not have logged a failure.
        self.stop()
        self.assertEqual(self.server.returncode, 0)
        self.assertNotIn("Traceback", self.log_text())


if __name__ == "__main__":
    unittest.main()
