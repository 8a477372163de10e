"""The reference host as a WSGI application, `application`; the routes and
answers are those of host_routes.py, as under demo_server.py.

    gunicorn host.wsgi:application                 (from the repository root)
    uwsgi --http :8000 --wsgi-file host/wsgi.py

addonGate itself comes from sys.path (PYTHONPATH=build/<tag>); the plugin
folder is chosen as RunnerCore says ($ADDONGATE_PLUGIN_DIR or host/plugins).
"""
import os
import sys
from http.client import responses
from urllib.parse import quote

# addonGate imports commons and RunnerCore by their top-level names, so this
# folder must be on sys.path however the file was loaded.
_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

import host_routes  # noqa: E402


def _target(environ):
    # Routes split the path before unquoting it, so an escaped "/" stays in
    # its segment: take the target as sent (gunicorn: RAW_URI, uWSGI and
    # mod_wsgi: REQUEST_URI), less the mount point when it is spelt plainly.
    raw = environ.get("RAW_URI") or environ.get("REQUEST_URI") or ""
    script = environ.get("SCRIPT_NAME", "")
    if raw.startswith(script) and raw[len(script):len(script) + 1] in ("/", "?"):
        rest = raw[len(script):]
        return rest if rest[0] == "/" else "/" + rest
    # PATH_INFO is already unquoted, as latin-1 text of the bytes sent.
    path = quote(environ.get("PATH_INFO", "").encode("latin-1"), safe="/")
    query = environ.get("QUERY_STRING", "")
    return (path or "/") + ("?" + query if query else "")


def application(environ, start_response):
    method = environ.get("REQUEST_METHOD", "GET")
    errors = environ["wsgi.errors"]

    def log_error(text):
        errors.write(text if text.endswith("\n") else text + "\n")
        errors.flush()

    # The headers host_routes.answer() reads.
    headers = {"Content-Type": environ.get("CONTENT_TYPE"),
               "Content-Length": environ.get("CONTENT_LENGTH"),
               "Transfer-Encoding": environ.get("HTTP_TRANSFER_ENCODING")}
    code, body = host_routes.answer(method, _target(environ), headers, environ["wsgi.input"],
                                    log_error)
    start_response("%d %s" % (code, responses.get(code, "")),
                   [("Content-Type", host_routes.CONTENT_TYPE), ("Content-Length", str(len(body)))])
    return [body] if host_routes.has_body(method, code) else []
