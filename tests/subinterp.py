"""A second interpreter in this process, for the checks that it is refused."""
import sys


def run_in_subinterpreter(code):
    """Runs `code` in a new interpreter that shares this one's lock; False
    where this interpreter offers no way to start one."""
    try:
        import _testcapi
        _testcapi.run_in_subinterp(code)
        return True
    except ImportError:
        pass
    # Some Windows releases ship without _testcapi; up to 3.11 this module's
    # interpreters share the lock too (later ones are isolated by default).
    if sys.version_info < (3, 12):
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            return False
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, code)
        finally:
            interpreters.destroy(interp)
        return True
    return False
