"""Shared helpers of the reference host: the request-argument object and the
host's error type. addonGate imports this module by name at start-up."""


class CorvelError(Exception):
    """The host's error: carries one message meant for the user."""

    def __init__(self, msg=""):
        Exception.__init__(self, msg)
        self.msg = msg

    def __str__(self):
        return str(self.msg)


class dict_obj(object):
    """Request arguments (GET/POST values) plus free attributes.

    Values live in a private mapping, not in the instance's own attribute
    dictionary, so a request parameter called "get" or "keys" can never hide
    a method: `args.get` is always the method, `args["get"]` the value.
    Attribute writes and reads that miss a method go to the same mapping.
    """

    __slots__ = ("_values",)

    def __init__(self, *mapping, **values):
        object.__setattr__(self, "_values", {})
        self._values.update(*mapping, **values)

    # attribute access for the host's own flags (e.g. plugin_get_object)
    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        try:
            return object.__getattribute__(self, "_values")[name]
        except KeyError:
            raise AttributeError(name)

    def __setattr__(self, name, value):
        self._values[name] = value

    def __delattr__(self, name):
        try:
            del self._values[name]
        except KeyError:
            raise AttributeError(name)

    # mapping reads
    def get(self, key, default=None):
        return self._values.get(key, default)

    def __getitem__(self, key):
        return self._values[key]

    def __setitem__(self, key, value):
        self._values[key] = value

    def __delitem__(self, key):
        del self._values[key]

    def __contains__(self, key):
        return key in self._values

    def __iter__(self):
        return iter(self._values)

    def __len__(self):
        return len(self._values)

    def keys(self):
        return self._values.keys()

    def items(self):
        return self._values.items()

    def values(self):
        return self._values.values()

    def to_dict(self):
        return dict(self._values)

    def __repr__(self):
        return "dict_obj(%r)" % (self._values,)
