"""Errors raised by the connection framework."""


class ConnectionInfraError(Exception):
    """A device description or plugin lookup the framework cannot serve."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
