"""The one failure a command reports to its user: a message, no traceback."""


class CommandError(Exception):
    """A user's mistake or a failed merge; ``main`` prints it and exits with status 1."""
