"""The reference host's routes and answers, independent of the HTTP server:
demo_server.py (stdlib HTTP server) and wsgi.py (any WSGI server) both hand
each request to answer().

Routes (GET or POST; POST bodies form-encoded or JSON objects):
    /plugin/<name>/<method>   run a plugin method with the request arguments
    /plugin/<name>?s=<method> the same, method taken from the `s` argument
    /plugins[?force=1]        the installed plugins (force=1 rescans)
    /                         this route overview
Every answer is JSON. A plugin that fails to load answers 502, one that
crashes answers 500 with the crash report; bad requests answer 4xx.
"""
import json
import socket
import traceback
from urllib.parse import parse_qs, unquote

import addonGate
import commons

MAX_BODY = 1 << 20       # bytes of request body accepted
DRAIN_LIMIT = 4 << 20    # an oversized body up to this is read and dropped, so
                         # the client sees our 413 rather than a reset socket
FORM = "application/x-www-form-urlencoded"
JSON = "application/json"
METHODS = ("GET", "POST")
ROUTES = {
    "/plugin/<name>/<method>": "run a plugin method with the GET/POST arguments",
    "/plugin/<name>?s=<method>": "the same, method from the s argument",
    "/plugins[?force=1]": "installed plugins (force=1 rescans the plugin folder)",
}
CONTENT_TYPE = "application/json; charset=utf-8"


class HttpError(Exception):
    def __init__(self, code, msg):
        Exception.__init__(self, msg)
        self.code = code
        self.msg = msg


def answer(method, target, headers, rfile, log_error):
    """(status code, JSON body as bytes) for one request.

    method: the request method; target: the request target as sent, path
    and query still percent-encoded; headers: anything with get(name) for
    Content-Type, Content-Length and Transfer-Encoding; rfile: the request
    body, read(n); log_error(text): where the host's own failures go.
    """
    try:
        code, payload = _route(method, target, headers, rfile)
    except HttpError as e:
        code, payload = e.code, {"status": False, "msg": e.msg}
    except Exception:
        log_error(traceback.format_exc())
        code, payload = 500, {"status": False, "msg": "internal error of the host"}
    return render(code, payload)


def render(code, payload):
    try:
        body = json.dumps(payload, ensure_ascii=False, allow_nan=False)
    except Exception:  # unserialisable, circular or absurdly deep reply
        code = 500
        body = json.dumps({"status": False, "msg": "the plugin's reply cannot be sent as JSON"})
    return code, body.encode("utf-8")


def has_body(method, code):
    return method != "HEAD" and code >= 200 and code not in (204, 304)


def _first_word(value):
    return (value or "").split(";")[0].strip().lower()


def _parse_form(text):
    try:
        pairs = parse_qs(text, keep_blank_values=True, encoding="utf-8", errors="strict")
    except ValueError:  # UnicodeDecodeError included
        raise HttpError(400, "arguments are not valid UTF-8")
    # A repeated argument keeps its last value.
    return dict((key, values[-1]) for key, values in pairs.items())


def _route(method, target, headers, rfile):
    if method not in METHODS:
        raise HttpError(501, "Unsupported method (%r)" % method)
    # Split before unquoting: an escaped "/" stays inside its segment.
    path, _, query = target.partition("#")[0].partition("?")
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
        body = _read_body(headers, rfile) if method == "POST" else {}
        for key, value in body.items():
            args[key] = value
        # The runner hands back method objects when this flag is 1; a
        # request must never switch that on.
        if "plugin_get_object" in args:
            del args["plugin_get_object"]
        return _run(parts[1], parts[2] if len(parts) == 3 else None, args)
    raise HttpError(404, "no such route: %s" % path)


def _run(name, method, args):
    try:
        plugin = addonGate.Plugin(name)
    except ValueError as e:  # the module refuses an empty plugin name
        raise HttpError(400, str(e))
    try:
        return 200, plugin.exec_fun(args, method)
    except commons.CorvelError as e:
        msg = str(e.args[0]) if e.args else ""
        return (500 if msg.startswith("Traceback ") else 502), {"status": False, "msg": msg}


def _read_body(headers, rfile):
    if headers.get("Transfer-Encoding"):
        raise HttpError(411, "send the body with a Content-Length")
    length = (headers.get("Content-Length") or "0").strip()
    if not length.isdigit():
        raise HttpError(400, "bad Content-Length")
    length = int(length)
    if length > MAX_BODY:
        if length <= DRAIN_LIMIT:
            _drain(rfile, length)
        raise HttpError(413, "request body too large (limit %d bytes)" % MAX_BODY)
    try:
        body = rfile.read(length)
    except socket.timeout:
        raise HttpError(408, "request body not received in time")
    if len(body) < length:
        raise HttpError(400, "request body shorter than its Content-Length")
    if not body:
        return {}
    ctype = _first_word(headers.get("Content-Type"))
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


def _drain(rfile, length):
    try:
        while length > 0:
            chunk = rfile.read(min(length, 65536))
            if not chunk:
                break
            length -= len(chunk)
    except socket.timeout:
        pass
