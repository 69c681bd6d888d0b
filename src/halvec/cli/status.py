"""The command line's exit statuses."""

from __future__ import annotations

import enum

__all__ = ["ExitStatus"]


class ExitStatus(enum.IntEnum):
    """What the program's exit status means; every status the program can end with."""

    OK = 0
    NO_USABLE_MODEL = 1
    USAGE = 2
    WRITE_ERROR = 74  # sysexits.h's EX_IOERR
    INTERRUPTED = 130  # 128 + SIGINT, as a shell reports a process ended by Ctrl-C
    BROKEN_PIPE = 128 + 13  # 128 + SIGPIPE, as a shell reports a process ended by it
