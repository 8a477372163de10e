"""Demo web host: serves addonGate plugins over HTTP on 127.0.0.1.

    python3 demo_server.py [PORT] [--plugin-dir DIR] [--quiet]

Routes (GET or POST; POST bodies form-encoded or JSON objects):
    /plugin/<name>/<method>   run a plugin method with the request arguments
    /plugin/<name>?s=<method> the same, method taken from the `s` argument
    /plugins[?force=1]        the installed plugins (force=1 rescans)
    /                         this route overview
Every answer is JSON. A plugin that fails to load answers 502, one that
crashes answers 500 with the crash report; bad requests answer 4xx.
"""
import argparse
import json
import socket
import socketserver
import sys
import traceback
from http.server import BaseHTTPRequestHandler, HTTPServer
from urllib.parse import parse_qs, unquote

import addonGate
import commons
import RunnerCore

MAX_BODY = 1 << 20       # bytes of request body accepted
DRAIN_LIMIT = 4 << 20    # an oversized body up to this is read and dropped, so
                         # the client sees our 413 rather than a reset socket
FORM = "application/x-www-form-urlencoded"
JSON = "application/json"
ROUTES = {
    "/plugin/<name>/<method>": "run a plugin method with the GET/POST arguments",
    "/plugin/<name>?s=<method>": "the same, method from the s argument",
    "/plugins[?force=1]": "installed plugins (force=1 rescans the plugin folder)",
}


try:
    from http.server import ThreadingHTTPServer
except ImportError:  # 3.6
    class ThreadingHTTPServer(socketserver.ThreadingMixIn, HTTPServer):
        daemon_threads = True


class HttpError(Exception):
    def __init__(self, code, msg):
        Exception.__init__(self, msg)
        self.code = code
        self.msg = msg


def _first_word(value):
    return (value or "").split(";")[0].strip().lower()


def _parse_form(text):
    try:
        pairs = parse_qs(text, keep_blank_values=True, encoding="utf-8", errors="strict")
    except ValueError:  # UnicodeDecodeError included
        raise HttpError(400, "arguments are not valid UTF-8")
    # A repeated argument keeps its last value.
    return dict((key, values[-1]) for key, values in pairs.items())


class Handler(BaseHTTPRequestHandler):
    server_version = "addonGateDemo/1.0"
    timeout = 30  # a client that stalls costs one thread for 30 s, not forever

    def do_GET(self):
        self._dispatch()

    def do_POST(self):
        self._dispatch()

    def _dispatch(self):
        try:
            code, payload = self._route()
        except HttpError as e:
            code, payload = e.code, {"status": False, "msg": e.msg}
        except Exception:
            self.log_error("%s", traceback.format_exc())
            code, payload = 500, {"status": False, "msg": "internal error of the host"}
        self._reply(code, payload)

    def _route(self):
        path, _, query = self.path.partition("#")[0].partition("?")
        parts = [unquote(p) for p in path.split("/")[1:]] or [""]
        if len(parts) > 1 and parts[-1] == "":
            parts.pop()
        query = _parse_form(query)
        if parts == [""]:
            return 200, {"status": True, "routes": ROUTES}
        if parts == ["plugins"]:
            force = query.get("force", "") in ("1", "true", "yes")
            return 200, addonGate.Plugin(False).get_plugin_list(force)
        if parts[0] == "plugin" and len(parts) in (2, 3):
            args = commons.dict_obj(query)
            for key, value in self._read_body().items():
                args[key] = value
            # The runner hands back method objects when this flag is 1; a
            # request must never switch that on.
            if "plugin_get_object" in args:
                del args["plugin_get_object"]
            return self._run(parts[1], parts[2] if len(parts) == 3 else None, args)
        raise HttpError(404, "no such route: %s" % path)

    def _run(self, name, method, args):
        try:
            plugin = addonGate.Plugin(name)
        except ValueError as e:  # the module refuses an empty plugin name
            raise HttpError(400, str(e))
        try:
            return 200, plugin.exec_fun(args, method)
        except commons.CorvelError as e:
            msg = str(e.args[0]) if e.args else ""
            return (500 if msg.startswith("Traceback ") else 502), {"status": False, "msg": msg}

    def _read_body(self):
        if self.command != "POST":
            return {}
        if self.headers.get("Transfer-Encoding"):
            raise HttpError(411, "send the body with a Content-Length")
        length = (self.headers.get("Content-Length") or "0").strip()
        if not length.isdigit():
            raise HttpError(400, "bad Content-Length")
        length = int(length)
        if length > MAX_BODY:
            if length <= DRAIN_LIMIT:
                self._drain(length)
            raise HttpError(413, "request body too large (limit %d bytes)" % MAX_BODY)
        try:
            body = self.rfile.read(length)
        except socket.timeout:
            raise HttpError(408, "request body not received in time")
        if len(body) < length:
            raise HttpError(400, "request body shorter than its Content-Length")
        if not body:
            return {}
        ctype = _first_word(self.headers.get("Content-Type"))
        if ctype == JSON:
            try:
                data = json.loads(body.decode("utf-8"))
            except ValueError:
                raise HttpError(400, "body is not valid JSON")
            if not isinstance(data, dict):
                raise HttpError(400, "JSON body must be an object")
            return data
        if ctype in (FORM, ""):
            try:
                return _parse_form(body.decode("utf-8"))
            except UnicodeDecodeError:
                raise HttpError(400, "arguments are not valid UTF-8")
        raise HttpError(415, "body must be %s or %s" % (FORM, JSON))

    def _drain(self, length):
        try:
            while length > 0:
                chunk = self.rfile.read(min(length, 65536))
                if not chunk:
                    break
                length -= len(chunk)
        except socket.timeout:
            pass

    def _reply(self, code, payload):
        try:
            body = json.dumps(payload, ensure_ascii=False, allow_nan=False)
        except Exception:  # unserialisable, circular or absurdly deep reply
            code = 500
            body = json.dumps({"status": False, "msg": "the plugin's reply cannot be sent as JSON"})
        self._send(code, body.encode("utf-8"))

    def _send(self, code, body):
        self.send_response(code)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD" and code >= 200 and code not in (204, 304):
            self.wfile.write(body)

    def send_error(self, code, message=None, explain=None):
        # The stdlib's own refusals (bad request line, 414, 501, ...) answer
        # in JSON like every other reply.
        msg = message or self.responses.get(code, ("error",))[0]
        if not self.command:
            # The request line itself was refused; the stdlib would then
            # answer HTTP/0.9 style, without a status line.
            self.request_version = "HTTP/1.0"
        self.log_error("code %d, message %s", code, msg)
        self.close_connection = True
        self._send(code, json.dumps({"status": False, "msg": msg}).encode("utf-8"))

    def log_message(self, fmt, *args):
        if not getattr(self.server, "quiet", False):
            BaseHTTPRequestHandler.log_message(self, fmt, *args)


def make_server(port=8000, quiet=False):
    """A threaded server bound to 127.0.0.1; port 0 picks a free port."""
    server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
    server.quiet = quiet
    return server


def main(argv=None):
    ap = argparse.ArgumentParser(description="addonGate demo web host (127.0.0.1 only)")
    ap.add_argument("port", nargs="?", type=int, default=8000, help="TCP port (default 8000)")
    ap.add_argument("--plugin-dir", help="plugin folder (default: %s)" % RunnerCore.get_plugin_dir())
    ap.add_argument("--quiet", action="store_true", help="do not log each request")
    opts = ap.parse_args(argv)
    if opts.plugin_dir:
        RunnerCore.set_plugin_dir(opts.plugin_dir)
    try:
        server = make_server(opts.port, opts.quiet)
    except (OSError, OverflowError) as e:
        sys.stderr.write("cannot listen on 127.0.0.1:%s: %s\n" % (opts.port, e))
        return 1
    url = "http://127.0.0.1:%d" % server.server_address[1]
    print("addonGate demo host on %s/  (plugins: %s; Ctrl-C stops)" % (url, RunnerCore.get_plugin_dir()))
    print("Try:")
    print("  curl '%s/plugin/demo/index'" % url)
    print("  curl '%s/plugin/demo?s=greet&name=Ada'" % url)
    print("  curl -d a=2 -d b=3 '%s/plugin/demo/add'" % url)
    print("  curl '%s/plugin/demo/boom'     # a crash: HTTP 500 with the crash report" % url)
    print("  curl '%s/plugins'" % url)
    sys.stdout.flush()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
