"""Cheap stand-in for the host's common module, for timing only.

Nothing is recorded: whatever these cost is paid equally by the native
module, the pure-Python facade and the direct runner call.
"""


class CorvelError(Exception):
    pass


class dict_obj(object):
    """Request arguments: an attribute bag with a mapping-style `get`."""

    def __init__(self, **values):
        self.__dict__.update(values)

    def get(self, key, default=None):
        return self.__dict__.get(key, default)
