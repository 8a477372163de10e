"""End-to-end tests of the reference host: the real module, the reference
runner and the demo web host, spoken to over loopback HTTP."""
import http.client
import json
import os
import shutil
import socket
import tempfile
import threading
import unittest

import addonGate
import commons
import demo_server
import host_routes
import RunnerCore


def make_plugin(root, name, code, manifest=None):
    folder = os.path.join(root, name)
    os.makedirs(folder)
    with open(os.path.join(folder, "main.py"), "w") as f:
        f.write(code)
    with open(os.path.join(folder, "manifest.json"), "w") as f:
        json.dump(manifest if manifest is not None else {"title": name}, f)


class HostTest(unittest.TestCase):
    def setUp(self):
        RunnerCore.set_plugin_dir(RunnerCore.DEFAULT_PLUGIN_DIR)
        self.addCleanup(RunnerCore.set_plugin_dir, RunnerCore.DEFAULT_PLUGIN_DIR)
        self.server = demo_server.make_server(0, quiet=True)
        thread = threading.Thread(target=self.server.serve_forever, args=(0.05,))
        thread.start()
        self.addCleanup(thread.join)
        self.addCleanup(self.server.server_close)
        self.addCleanup(self.server.shutdown)

    def temp_plugins(self):
        root = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, root)
        os.mkdir(os.path.join(root, "plugins"))
        RunnerCore.set_plugin_dir(os.path.join(root, "plugins"))
        return root

    def call(self, path, body=None, headers=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.server.server_address[1], timeout=20)
        try:
            conn.request("GET" if body is None else "POST", path, body, headers or {})
            resp = conn.getresponse()
            return resp.status, json.loads(resp.read().decode("utf-8"))
        finally:
            conn.close()

    def assertFailure(self, path, status, marker, **kw):
        code, reply = self.call(path, **kw)
        self.assertEqual((code, reply["status"]), (status, False), (path, reply))
        self.assertIn(marker, reply["msg"], path)
        return reply["msg"]

    def test_plugin_methods_and_arguments(self):
        self.assertEqual(self.call("/plugin/demo/index"),
                         (200, {"status": True, "msg": "hello from the demo plugin"}))
        # method from `s`; parameters named like dict_obj's methods stay plain values
        self.assertEqual(self.call("/plugin/demo?s=greet&name=Ada&get=1&keys=2")[1]["msg"], "hello, Ada")
        self.assertEqual(self.call("/plugin/demo/greet?s=boom&name=%E4%BD%A0")[1]["msg"], "hello, 你")
        form = {"Content-Type": "application/x-www-form-urlencoded"}
        self.assertEqual(self.call("/plugin/demo/add?a=100", "a=2&b=3.5", form)[1]["result"], 5.5)
        # a request cannot make the runner hand back method objects
        body = json.dumps({"s": "greet", "name": "Bob", "plugin_get_object": 1})
        self.assertEqual(self.call("/plugin/demo", body, {"Content-Type": "application/json"}),
                         (200, {"status": True, "msg": "hello, Bob"}))

    def test_load_failure_and_crash(self):
        self.assertFailure("/plugin/nope/index", 502, "加载失败")
        self.assertFailure("/plugin/demo/missing", 502, "加载失败")
        msg = self.assertFailure("/plugin/demo/boom", 500, "ValueError: boom")
        self.assertTrue(msg.startswith("Traceback "), msg)
        root = self.temp_plugins()
        make_plugin(os.path.join(root, "plugins"), "broken", "def index(args:\n")
        make_plugin(os.path.join(root, "plugins"), "quits", "import sys\nsys.exit(3)\n")
        make_plugin(os.path.join(root, "plugins"), "exits", "import sys\ndef index(a):\n    sys.exit(1)\n")
        self.assertFailure("/plugin/broken/index", 502, "SyntaxError")
        self.assertFailure("/plugin/quits/index", 502, "加载失败")
        self.assertFailure("/plugin/exits/index", 500, "SystemExit")
        self.assertEqual(self.call("/plugins")[0], 200)  # still serving

    def test_listing(self):
        code, listing = self.call("/plugins")
        self.assertEqual((code, listing["demo"]["title"]), (200, "Demo"))
        root = self.temp_plugins()
        make_plugin(os.path.join(root, "plugins"), "one", "")
        self.assertEqual(list(self.call("/plugins")[1]), ["one"])
        make_plugin(os.path.join(root, "plugins"), "two", "", {"title": "Two", "name": "x"})
        os.mkdir(os.path.join(root, "plugins", "no-manifest"))
        self.assertEqual(list(self.call("/plugins")[1]), ["one"])  # cached
        listing = self.call("/plugins?force=1")[1]
        self.assertEqual(sorted(listing), ["one", "two"])
        self.assertEqual((listing["two"]["title"], listing["two"]["name"]), ("Two", "two"))

    def test_refused_names(self):
        root = self.temp_plugins()
        # a valid plugin just outside the plugin folder must stay unreachable
        make_plugin(root, "outside", "def index(args):\n    return {'status': True}\n")
        make_plugin(os.path.join(root, "plugins"), "ok", "import os\ndef index(a):\n    return 1\n"
                    "def _hidden(a):\n    return 2\n")
        abs_outside = root.replace("/", "%2F") + "%2Foutside"
        for name in ("..%2Foutside", "a%2Fb", abs_outside, "_ok", ".", "ok%0A", "%2E%2E"):
            self.assertFailure("/plugin/%s/index" % name, 502, "加载失败")
        for method in ("_hidden", "__init__", "os", "index%0A", "..%2Findex", "", "%20"):
            self.assertFailure("/plugin/ok/%s" % method, 502, "加载失败")
        self.assertFailure("/plugin//index", 400, "plugin_name")
        # straight into the runner: odd types are refused, never raised
        for name, method in ((None, "index"), (5, "index"), ("ok", None), ("ok", b"index")):
            reply = RunnerCore.plugin_run(name, method, commons.dict_obj())
            self.assertEqual(reply["status"], False)
            self.assertIn("加载失败", reply["msg"])

    def test_method_objects(self):
        demo = addonGate.Plugin("demo")
        index = demo.get_fun("index")
        self.assertIs(index, demo.get_fun("index"))  # loaded once, kept
        self.assertEqual(index(commons.dict_obj())["status"], True)
        self.assertEqual([demo.isdef(n) for n in ("greet", "nothing", "_private", "math")],
                         [True, False, False, False])
        self.assertFalse(addonGate.Plugin("../demo").get_fun("index"))
        self.assertFalse(addonGate.Plugin("nope").get_fun("index"))

    def test_malformed_requests(self):
        js = {"Content-Type": "application/json"}
        self.assertFailure("/plugin/demo/greet", 400, "JSON", body="{bad", headers=js)
        self.assertFailure("/plugin/demo/greet", 400, "object", body="[1]", headers=js)
        self.assertFailure("/plugin/demo/greet", 415, "json", body="x", headers={"Content-Type": "text/xml"})
        self.assertFailure("/plugin/demo/greet", 400, "Content-Length", body="",
                           headers={"Content-Length": "-1"})
        self.assertFailure("/plugin/demo/greet", 413, "too large", body="a" * (host_routes.MAX_BODY + 1))
        self.assertFailure("/plugin/demo/greet", 413, "too large", body="",
                           headers={"Content-Length": str(1 << 40)})
        self.assertFailure("/plugin/demo/greet?name=%FF", 400, "UTF-8")
        self.assertFailure("/elsewhere", 404, "route")
        sock = socket.create_connection(self.server.server_address, timeout=20)
        with sock:
            sock.sendall(b"GET / HTTP/1.x\r\n\r\n")
            self.assertTrue(sock.makefile("rb").read().startswith(b"HTTP/1.0 400 "))
        self.assertEqual(self.call("/plugin/demo/index")[0], 200)

    def test_concurrent_burst(self):
        hits_before = self.call("/plugin/demo/hits")[1]["hits"]
        errors = []

        def worker(t):
            try:
                for i in range(40):
                    if i % 4 == 3:
                        code, reply = self.call("/plugin/demo/boom")
                        ok = code == 500 and reply["msg"].startswith("Traceback ")
                    elif i % 4 == 2:
                        code, reply = self.call("/plugin/demo/hits")
                        ok = code == 200 and reply["hits"] > hits_before
                    else:
                        code, reply = self.call("/plugin/demo?s=add&a=%d" % i, "b=%d" % t)
                        ok = (code, reply) == (200, {"status": True, "result": i + t})
                    if not ok:
                        errors.append((t, i, code, reply))
            except Exception as e:  # surfaces in the main thread's assertion
                errors.append((t, repr(e)))

        threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])
        self.assertEqual(self.call("/plugin/demo/hits")[1]["hits"], hits_before + 8 * 10 + 1)

    def test_plugin_loaded_once_under_concurrency(self):
        root = self.temp_plugins()
        log = os.path.join(root, "loads.txt")
        make_plugin(os.path.join(root, "plugins"), "slow",
                    "import time\nwith open(%r, 'a') as f:\n    f.write('x')\ntime.sleep(0.2)\n"
                    "def index(args):\n    return {'status': True}\n" % log)
        results = []
        threads = [threading.Thread(target=lambda: results.append(self.call("/plugin/slow/index")))
                   for _ in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(results, [(200, {"status": True})] * 6)
        with open(log) as f:
            self.assertEqual(f.read(), "x")


if __name__ == "__main__":
    unittest.main()
