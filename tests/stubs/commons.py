"""Recording stand-in for the host's common module; `quiet()`, for the
benchmarks, stops the recording."""

made = []


class CorvelError(Exception):
    pass


class dict_obj(object):
    """Request arguments: attribute bag with a mapping-style `get`."""

    def __init__(self, **values):
        self.__dict__.update(values)
        made.append(self)

    def get(self, key, default=None):
        return self.__dict__.get(key, default)

    def __getitem__(self, key):
        return self.__dict__[key]

    def __contains__(self, key):
        return key in self.__dict__


def reset():
    del made[:]


def quiet():
    def __init__(self, **values):
        self.__dict__.update(values)

    dict_obj.__init__ = __init__
