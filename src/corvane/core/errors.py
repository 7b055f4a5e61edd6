"""Errors raised by the connection framework."""


class ConnectionInfraError(Exception):
    """A device description or plugin lookup the framework cannot serve.

    Raised with one argument, the message.
    """
