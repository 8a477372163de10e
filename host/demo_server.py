"""Demo web host: serves addonGate plugins over HTTP on 127.0.0.1.

    python3 demo_server.py [PORT] [--plugin-dir DIR] [--quiet]

The routes and their answers are in host_routes.py; this file is the stdlib
HTTP server around them.
"""
import argparse
import socketserver
import sys
from http.server import BaseHTTPRequestHandler, HTTPServer

import RunnerCore
import host_routes


try:
    from http.server import ThreadingHTTPServer
except ImportError:  # 3.6
    class ThreadingHTTPServer(socketserver.ThreadingMixIn, HTTPServer):
        daemon_threads = True


class Handler(BaseHTTPRequestHandler):
    server_version = "addonGateDemo/1.0"
    timeout = 30  # a client that stalls costs one thread for 30 s, not forever

    def do_GET(self):
        self._dispatch()

    def do_POST(self):
        self._dispatch()

    def _dispatch(self):
        code, body = host_routes.answer(self.command, self.path, self.headers, self.rfile,
                                        lambda text: self.log_error("%s", text))
        self._send(code, body)

    def _send(self, code, body):
        self.send_response(code)
        self.send_header("Content-Type", host_routes.CONTENT_TYPE)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if host_routes.has_body(self.command, code):
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
        self._send(code, host_routes.render(code, {"status": False, "msg": msg})[1])

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
