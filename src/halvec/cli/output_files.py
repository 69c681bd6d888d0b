"""Files a command writes besides standard output (``--out``, ``--plot``): never over one of its
inputs, and complete or not at all.

A file is written beside its target under a temporary name and renamed over the target only
when the command has succeeded, so a failed or interrupted run leaves the target as it was. A
target that is not a regular file (a FIFO, ``/dev/null``, a terminal) is written directly, as
renaming over it would replace it. A target that is one of the command's inputs, by any name or
link, is refused before anything is read.
"""

from __future__ import annotations

import os
import stat
import sys
import tempfile
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from typing import BinaryIO

from halvec.cli.options import UsageError
from halvec.cli.output import OutputError

__all__ = ["output_file", "refuse_input_as_output", "write_error"]


def _identity(path: str) -> tuple[int, int] | None:
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return None
    return status.st_dev, status.st_ino


def _stdin_identity() -> tuple[int, int] | None:
    try:
        status = os.fstat(sys.stdin.fileno())
    except (OSError, ValueError, AttributeError):
        return None
    return (status.st_dev, status.st_ino) if stat.S_ISREG(status.st_mode) else None


def _stdout_identity() -> tuple[int, int] | None:
    try:
        status = os.fstat(sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        return None
    return (status.st_dev, status.st_ino) if stat.S_ISREG(status.st_mode) else None


def refuse_input_as_output(outputs: Iterable[tuple[str, str | None]], inputs: Iterable[str], *,
                           stdout: bool = False) -> None:
    """UsageError when an output is one of the inputs (``-`` is standard input), or when two
    outputs are one file. ``outputs`` are (option, path or None); with ``stdout``, standard
    output counts as an output too (a shell's ``>>`` onto an input)."""
    known: dict[tuple[int, int], str] = {}
    for source in inputs:
        identity = _stdin_identity() if source == "-" else _identity(source)
        if identity is not None:
            known.setdefault(identity, "standard input" if source == "-" else f"the input {source!r}")
    chosen: list[tuple[str, tuple[int, int] | None, str]] = []
    for option, target in outputs:
        if target is not None:
            chosen.append((f"{option} {target!r}", _identity(target), target))
    if stdout:
        chosen.append(("standard output", _stdout_identity(), ""))
    seen: dict[str, str] = {}
    for what, identity, path in chosen:
        if identity is not None and identity in known:
            raise UsageError(f"{what} is {known[identity]}: it would be overwritten; write to another file")
        real = os.path.realpath(path) if path else None
        if real is not None and real in seen:
            raise UsageError(f"{what} is {seen[real]} as well: give each output its own file")
        if real is not None:
            seen[real] = what


@contextmanager
def output_file(path: str, option: str) -> Iterator[BinaryIO]:
    """A binary file to write ``path`` through: a temporary file beside it, renamed over it
    when the block ends without an exception and removed when it does not. Opened at once, so
    a target that cannot be written is a usage error before any work is done; a failure to
    finish it is an :class:`OutputError` that names the option (the block turns its own
    failures to write into one too: :func:`write_error`)."""
    target = os.path.realpath(path)  # a link is followed: its target is replaced, not the link
    try:
        status: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        status = None
    except OSError as error:
        raise UsageError(f"cannot write {option} {path!r}: {error.strerror or error}") from None
    if status is not None and stat.S_ISDIR(status.st_mode):
        raise UsageError(f"cannot write {option} {path!r}: it is a directory")
    if status is not None and not stat.S_ISREG(status.st_mode):
        try:
            direct = open(target, "wb")
        except OSError as error:
            raise UsageError(f"cannot write {option} {path!r}: {error.strerror or error}") from None
        with _finishing(direct, option, path):
            yield direct
        return
    folder, name = os.path.split(target)
    try:
        descriptor, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder or ".")
    except OSError as error:
        raise UsageError(f"cannot write {option} {path!r}: {error.strerror or error}") from None
    try:
        file = os.fdopen(descriptor, "wb")
        with _finishing(file, option, path):
            yield file
        # the mode a new file would get (or the old file's), not the temporary file's 0600
        mode = stat.S_IMODE(status.st_mode) if status is not None else 0o666 & ~_umask()
        try:
            os.chmod(temporary, mode)
            os.replace(temporary, target)
        except OSError as error:
            raise OutputError(f"cannot write {option} {path!r}: {error.strerror or error}") from None
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


@contextmanager
def _finishing(file: BinaryIO, option: str, path: str) -> Iterator[None]:
    """Closes ``file`` after the block; a failure to close it (the last of what it buffered
    not written) is an OutputError, unless the block failed already."""
    try:
        yield
    except BaseException:
        try:
            file.close()
        except OSError:
            pass
        raise
    try:
        file.close()
    except OSError as error:
        raise OutputError(f"cannot write {option} {path!r}: {error.strerror or error}") from None


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def write_error(option: str, path: str, error: OSError) -> OutputError:
    """The OutputError for a failure to write ``option``'s file."""
    return OutputError(f"cannot write {option} {path!r}: {error.strerror or error}")
