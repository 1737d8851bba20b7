"""Exceptions raised by telvar's core."""


class ConnectionInfraError(Exception):
    """A device's identifying details are invalid, or no connection plugin serves it."""
