"""The command line's exit statuses: one table for the code and the help."""

from __future__ import annotations

import enum
from collections.abc import Iterable

__all__ = ["ExitStatus", "describe_exit_statuses"]


class ExitStatus(enum.IntEnum):
    """What the program's exit status means; every status the program can end with."""

    OK = 0
    NO_USABLE_MODEL = 1
    USAGE = 2
    PART_FAILED = 71  # sysexits.h's EX_OSERR
    WRITE_ERROR = 74  # sysexits.h's EX_IOERR
    INTERRUPTED = 130  # 128 + SIGINT, as a shell reports a process ended by Ctrl-C
    BROKEN_PIPE = 128 + 13  # 128 + SIGPIPE, as a shell reports a process ended by it
    TERMINATED = 128 + 15  # 128 + SIGTERM, as a shell reports a process ended by it


_MEANINGS: dict[ExitStatus, str] = {
    ExitStatus.OK: "done",
    ExitStatus.NO_USABLE_MODEL: "route found no usable model (the router's last resort is shown)",
    ExitStatus.USAGE: "usage error, or input the command cannot use (a file, a value in it, a bad line, an "
                      "output that is one of the inputs)",
    ExitStatus.PART_FAILED: "a process evaluating a part of the input ended without finishing (killed, "
                            "or out of memory)",
    ExitStatus.WRITE_ERROR: "an output could not be written (standard output or {outputs}: closed, no such "
                            "folder, disk full, I/O error)",
    ExitStatus.INTERRUPTED: "interrupted",
    ExitStatus.BROKEN_PIPE: "standard output was closed early (a closed pipe)",
    ExitStatus.TERMINATED: "ended by SIGTERM (an output file being written is left as it was)",
}


def describe_exit_statuses(omit: Iterable[ExitStatus] = (), *, outputs: str = "--out") -> str:
    """``Exit status: 0 done; 1 ...``: every status with its meaning (but those a command
    cannot end with, ``omit``), for the help; ``outputs`` names the command's output files."""
    left_out = set(omit)
    return "Exit status: " + "; ".join(f"{int(status)} {_MEANINGS[status].format(outputs=outputs)}"
                                       for status in ExitStatus if status not in left_out) + "."
