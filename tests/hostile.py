"""Objects that raise, or run Python code, where the module calls them: hashes, comparisons,
truth tests, str(), keys() and loggers."""


class Boom:
    """Raises RuntimeError when called, hashed or truth-tested."""

    def __init__(self, what="boom"):
        self.what = what

    def __call__(self, *args, **kwargs):
        raise RuntimeError(self.what)

    __hash__ = __bool__ = __call__


class SameHashAsData:
    """Hashes like the reserved "data" key; comparing calls eq()."""

    def __init__(self, eq):
        self.eq = eq

    def __hash__(self):
        return hash("data")

    def __eq__(self, other):
        return self.eq()


Unprintable = type("Unprintable", (), {"__str__": Boom()})


def node(keys, **children):
    """A registry node whose keys() is the given function."""
    return type("Node", (dict,), {"keys": keys})(**children)


def name(value, **methods):
    """A str subclass instance with the given methods overridden."""
    return type("Name", (str,), methods)(value)


def logger(debug):
    """A stand-in for the module's logger whose debug() is the given function."""
    return type("Log", (), {"debug": debug})()


def colliding_key(text, target, action):
    """A str-subclass key that hashes as `target`, so that looking `target` up runs action()."""

    def eq(self, other):
        action()
        return str.__eq__(self, other)

    return type("Colliding", (str,), {"__hash__": lambda self: hash(target), "__eq__": eq})(text)


def clear_registry(manager):
    """A path element hashed like "data" whose comparison clears the manager's registry."""

    def clear():
        manager.plugins.clear()
        return False

    return SameHashAsData(clear)
