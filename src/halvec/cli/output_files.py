"""Files a command writes (``--out FILE``): never a file the user gave it to read, and never
half a file in place of a whole one.

:func:`output_file` first refuses an output that is one of the command's inputs, whatever
the name it goes by (the same path, a symbolic or hard link, ``/dev/stdin``, ``/dev/fd/N``):
files are compared by device and inode. Standard output counts as an input too while the
command writes its report there, so ``--out /dev/stdout`` is refused rather than mixed with
the report (the null device, which keeps nothing, is let through).

A regular file (or a name where none is yet) is written to a temporary file beside it, made
like the file it replaces (its permission bits, else those a new file gets), and renamed over
it only when the command's work succeeds; a run that fails, is interrupted (Ctrl-C) or
ended by SIGTERM removes the temporary file and leaves the earlier file as it was, and the
error says so. A file this process may not write is refused, as opening it would be
(renaming over it would get round its permissions). Everything else (a pipe, a FIFO, a
terminal, a descriptor named as ``/dev/fd/N``) is a stream, written as the work goes.
"""

from __future__ import annotations

import errno
import os
import re
import signal
import stat
import sys
import tempfile
import threading
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from types import FrameType
from typing import IO, Any

from halvec.cli.options import InputError
from halvec.cli.output import OutputError

__all__ = ["Terminated", "check_output", "check_report_destination", "file_inputs", "output_file", "write_error"]

Input = str | int | IO[Any]
"""An input the output must not be: a path, an open file or a file descriptor; or, to name
it in messages, a pair (name, input), such as ``("--patterns 'p.toml'", path)``."""
Inputs = Iterable[Input | tuple[str, Input]]

# names of a descriptor this process holds: written through that descriptor, as a shell's
# redirection means it, not opened afresh (which would empty a regular file)
_DESCRIPTOR = re.compile(r"/dev/(?:(stdin)|(stdout)|(stderr)|fd/(\d+))|/proc/self/fd/(\d+)")


class Terminated(BaseException):
    """The process was sent SIGTERM while an output file was being written: raised where the
    run stands, so that the temporary file is removed on the way out."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum: int = signum


def file_inputs(paths: Iterable[str]) -> list[Input | tuple[str, Input]]:
    """The files a command reads, as the checks take them: ``-`` is standard input (not a
    file of that name)."""
    return [("standard input", 0) if path == "-" else path for path in paths]


def _descriptor(path: str) -> int | None:
    match = _DESCRIPTOR.fullmatch(path)
    if match is None:
        return None
    std = next((n for n, group in enumerate(match.groups()[:3]) if group), None)
    return std if std is not None else int(match.group(4) or match.group(5))


def _identity(source: Input) -> tuple[int, int] | None:
    try:
        if isinstance(source, str):
            status = os.stat(source)
        else:
            status = os.fstat(source if isinstance(source, int) else source.fileno())
    except (OSError, ValueError, AttributeError):
        return None  # not there (yet), or closed: nothing to overwrite
    return status.st_dev, status.st_ino


def _label(source: Input) -> str:
    if isinstance(source, str):
        return repr(source)
    fd = source if isinstance(source, int) else source.fileno()
    if fd == 0:
        return "standard input"
    name = getattr(source, "name", None)
    return repr(name) if isinstance(name, str) else f"the input on descriptor {fd}"


def _is_null(status: os.stat_result) -> bool:
    try:
        null = os.stat(os.devnull)
    except OSError:
        return False
    return stat.S_ISCHR(status.st_mode) and status.st_rdev == null.st_rdev


def check_output(path: str, *, option: str = "--out", inputs: Inputs = (),
                 report_on_stdout: bool = True) -> os.stat_result | None:
    """Refuses (:class:`InputError`) an output ``path`` that is one of ``inputs`` or, with
    ``report_on_stdout``, standard output; returns what ``path`` names now (None: nothing).
    A path that cannot even be looked at is an :class:`OutputError`."""
    fd = _descriptor(path)
    try:
        status = os.fstat(fd) if fd is not None else os.stat(path)
    except FileNotFoundError:
        return None
    except OSError as error:
        raise write_error(option, path, error) from None
    if _is_null(status):
        return status
    found = (status.st_dev, status.st_ino)
    for entry in inputs:
        name, source = entry if isinstance(entry, tuple) else (_label(entry), entry)
        if _identity(source) == found:
            closed = " (standard output is closed, and the input was given its descriptor)" \
                if fd == 1 and sys.stdout is None else ""
            raise InputError(f"{option} {path!r} is the same file as {name}{closed}: writing it would destroy "
                             f"it; write to another file")
    if report_on_stdout and sys.stdout is not None and _identity(1) == found:
        raise InputError(f"{option} {path!r} is standard output, where the report goes; write to a file")
    return status


def check_report_destination(inputs: Inputs) -> None:
    """Refuses (:class:`InputError`) to run when standard output, where the report goes, is a
    regular file that is one of ``inputs`` (``halvec eval tasks.jsonl >> tasks.jsonl``): the
    report would be written into the user's input."""
    if sys.stdout is None:
        return  # closed when the program started (descriptor 1 may be a file opened since)
    try:
        status = os.fstat(1)
    except OSError:
        return  # closed: nothing is written there
    if not stat.S_ISREG(status.st_mode):
        return
    for entry in inputs:
        name, source = entry if isinstance(entry, tuple) else (_label(entry), entry)
        if source != 1 and _identity(source) == (status.st_dev, status.st_ino):
            raise InputError(f"standard output is the same file as {name}: the report would be written into "
                             f"it; send it elsewhere")


@contextmanager
def output_file(path: str, *, option: str = "--out", inputs: Inputs = (),
                report_on_stdout: bool = True) -> Iterator[IO[bytes]]:
    """The output ``path``, checked by :func:`check_output` before anything is written, as
    an unbuffered binary file: a regular file is put in place when the block ends without an
    exception, a stream is written as it goes (see the module's notes). A failure to make or
    write the file is an :class:`OutputError` (``cannot write --out 'x': ...``); an exception
    that ends the block gets a note saying what became of the earlier file."""
    status = check_output(path, option=option, inputs=inputs, report_on_stdout=report_on_stdout)
    fd = _descriptor(path)
    if fd is None and status is not None and stat.S_ISREG(status.st_mode) and not os.access(path, os.W_OK):
        # renaming over it would get round what its permissions say: written as open() would be
        raise write_error(option, path, PermissionError(errno.EACCES, os.strerror(errno.EACCES)))
    try:
        if fd is not None:
            stream: IO[bytes] = open(os.dup(fd), "wb", buffering=0)
        elif status is not None and not stat.S_ISREG(status.st_mode):
            stream = open(path, "wb", buffering=0)
        else:
            stream = None  # type: ignore[assignment]
    except OSError as error:
        raise write_error(option, path, error) from None
    if stream is not None:
        with stream:
            yield stream
        return
    with _replacing(path, option, status) as file, _terminated_raises():
        yield file


@contextmanager
def _replacing(path: str, option: str, status: os.stat_result | None) -> Iterator[IO[bytes]]:
    """A temporary file beside ``path`` (beside the file a symbolic link names, so the link
    stays), renamed over it when the block succeeds and removed when it does not."""
    target = os.path.realpath(path)
    folder, name = os.path.split(target)
    try:
        fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".partial", dir=folder)
    except OSError as error:
        raise write_error(option, path, error) from None
    file = open(fd, "wb", buffering=0)
    earlier = "the earlier file is as it was" if status is not None else "no file was made"
    placed = False
    try:
        try:
            yield file
            try:
                _make_like(fd, status)
                os.fsync(fd)
                file.close()
                os.replace(temporary, target)
                placed = True
            except OSError as error:
                raise write_error(option, path, error) from None
        except BaseException as error:
            error.add_note(f"{option} {path!r} was not written: {earlier}")
            raise
    finally:
        file.close()
        if not placed:
            try:
                os.unlink(temporary)
            except OSError:
                pass


def write_error(option: str, path: str, error: OSError) -> OutputError:
    """The error for a failure to write ``option``'s file ``path``."""
    return OutputError(f"cannot write {option} {path!r}: {error.strerror or error}")


def _make_like(fd: int, status: os.stat_result | None) -> None:
    """The permission bits (and, where this process may set them, the owner and group) of
    the file being replaced; a new file gets those ``open`` would give it."""
    if status is not None:
        try:
            os.fchown(fd, status.st_uid, status.st_gid)
        except OSError:
            pass  # only the owner's own group, or root, may: the file is then this user's
        os.fchmod(fd, stat.S_IMODE(status.st_mode))
    else:
        os.fchmod(fd, 0o666 & ~_umask())


def _umask() -> int:
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    mask = os.umask(0o022)  # no other way to read it; set back at once
    os.umask(mask)
    return mask


@contextmanager
def _terminated_raises() -> Iterator[None]:
    """SIGTERM raises :class:`Terminated` for the block, where its default would end the
    process with the temporary file left behind (only the main thread may set a handler)."""
    if threading.current_thread() is not threading.main_thread() or \
            signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL:
        yield
        return

    def raise_terminated(signum: int, _: FrameType | None) -> None:
        raise Terminated(signum)

    signal.signal(signal.SIGTERM, raise_terminated)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
