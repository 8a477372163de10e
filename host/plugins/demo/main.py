"""Sample plugin. Every public function here is a method the host can call;
it receives the request arguments (a commons.dict_obj) and returns the reply."""
import math
import threading

_hits = 0
_hits_lock = threading.Lock()  # methods run concurrently, one thread per request


def index(args):
    """A plain method."""
    return {"status": True, "msg": "hello from the demo plugin"}


def greet(args):
    """Reads a request argument: ?name=..."""
    return {"status": True, "msg": "hello, %s" % args.get("name", "world")}


def add(args):
    """Reads two numbers: ?a=1&b=2 (form values arrive as text)."""
    try:
        a, b = float(args.get("a", 0)), float(args.get("b", 0))
    except (TypeError, ValueError, OverflowError):
        a = b = float("nan")
    total = a + b
    if not math.isfinite(total):
        return {"status": False, "msg": "a and b must be finite numbers"}
    return {"status": True, "result": int(total) if total.is_integer() else total}


def hits(args):
    """State kept between requests: the plugin is loaded once."""
    global _hits
    with _hits_lock:
        _hits += 1
        return {"status": True, "hits": _hits}


def boom(args):
    """Raises: the host receives the crash report."""
    raise ValueError("boom: the demo plugin failed on purpose")


def _private(args):
    return {"status": True, "msg": "never reachable from a request"}
