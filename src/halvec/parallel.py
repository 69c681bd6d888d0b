"""A workload file evaluated by several processes at once, a part of the file each.

The file is cut at line breaks into parts of about the same size. This process evaluates
the first part. A process forked for each further part counts the line breaks before it
(to number its lines), evaluates it, writes its per-task lines to an unnamed file of its
own and sends its counts back through a pipe. The counts are combined, and the per-task
lines appended, in the order of the file, so the report and the lines are those one
process would give. A bad line stops the run as it stops one process: the bad line
reported is the first in the file, and the per-task lines before its part are written.

Only a regular file in JSONL or text is cut (a CSV record may span lines), only when each
part has :data:`MIN_PART` bytes or more, and only where this process can fork safely: on
Linux, with one thread. Anything else is evaluated by this process alone. The parts are
the file as it was when the run began: lines added during the run are not read.
"""

from __future__ import annotations

import io
import mmap
import os
import pickle
import select
import signal
import stat
import struct
import sys
import tempfile
import traceback
from collections.abc import Callable, Collection
from contextlib import ExitStack
from dataclasses import dataclass
from typing import IO, Any, BinaryIO, Final, Protocol, cast

from halvec import _patterns
from halvec.evaluation import Part, Report, Settings, combine, evaluate, evaluate_part, write_all
from halvec.workload import EncodingErrors, Format, InputProblem, TaskReader

__all__ = ["MIN_PART", "PartFailed", "Progress", "default_jobs", "evaluate_in_parts"]

MIN_PART: Final = 4 << 20
"""The fewest bytes a part has: below this the fork costs more than it saves."""

_COPY_BLOCK: Final = 4 << 20
_COUNTERS: Final = struct.Struct("qq")  # a part's bytes read and tasks, for the progress


class PartFailed(Exception):
    """A process evaluating a part of the input ended without its result (it was killed, or
    ran out of memory); the text says which input, and how the process ended."""


class Progress(Protocol):
    """Called after each batch of this process's part with the whole run's reading so far."""

    def __call__(self, reading: Any, /) -> None: ...


def default_jobs() -> int:
    """Processes to evaluate a file with: the cores this process may use, at most 2 (each
    process holds about 40 MB)."""
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cores = os.cpu_count() or 1
    return max(1, min(2, cores))


def _can_fork() -> bool:
    """Whether this process may fork without exec: Linux, with no thread but this one (a
    lock another thread holds would stay held in the child)."""
    if not sys.platform.startswith("linux") or not hasattr(os, "fork"):
        return False
    try:
        return len(os.listdir("/proc/self/task")) == 1
    except OSError:
        return False


def evaluate_in_parts(stream: BinaryIO, settings: Settings, *, name: str, where: str, size: int | None = None,
                      fmt: Format | None = None, field: str | None = None, delimiter: str | None = None,
                      models: Collection[str] = (),
                      skip_bad: bool = False, encoding_errors: EncodingErrors = "strict",
                      hint: Callable[[str], str | None] | None = None, out: IO[bytes] | None = None,
                      progress: Progress | None = None, jobs: int | None = None,
                      min_part: int | None = None) -> Report:
    """:func:`halvec.evaluation.evaluate` of the tasks ``stream`` holds from where it stands,
    by up to ``jobs`` processes (None: :func:`default_jobs`) when it is a regular file that
    can be cut (see the module's notes), else by this process. The reader's options are
    :class:`halvec.workload.TaskReader`'s; ``min_part`` is the fewest bytes a part may have
    (None: :data:`MIN_PART`)."""
    options: dict[str, Any] = {"where": where, "name": name, "field": field, "delimiter": delimiter, "models": models,
                               "skip_bad": skip_bad, "encoding_errors": encoding_errors, "hint": hint}

    def alone() -> Report:
        return evaluate(TaskReader(stream, fmt=fmt, size=size, **options), settings, out=out, progress=progress)

    plan = _plan(stream, name, fmt, delimiter, jobs if jobs is not None else default_jobs(),
                 min_part if min_part is not None else MIN_PART)
    if plan is None:
        return alone()
    fd, found, cuts = plan
    try:
        report = _Run(fd, cuts, found, options, settings, out, progress).report()
    except _NoProcess:  # nothing is read nor written yet: this process reads the file alone
        return alone()
    # the parts were read with pread: the stream is left where one process's reading leaves
    # it, for whatever reads it next (a shell's standard input, shared with later commands)
    stream.seek(cuts[-1])
    return report


def _plan(stream: BinaryIO, name: str, fmt: Format | None, delimiter: str | None, jobs: int,
          min_part: int) -> tuple[int, Format, list[int]] | None:
    """(file descriptor, format, cuts): the offsets where the parts begin, then the end; None
    when the stream is to be read by this process alone."""
    if jobs < 2 or not _can_fork():
        return None
    try:
        fd = stream.fileno()
        status = os.fstat(fd)
        if not stat.S_ISREG(status.st_mode):
            return None
        start, end = stream.tell(), status.st_size
    except (OSError, AttributeError, ValueError, io.UnsupportedOperation):
        return None
    parts = min(jobs, (end - start) // max(1, min_part))
    if parts < 2:
        return None
    try:
        probe = TaskReader(cast(BinaryIO, _Slice(fd, start, end)), name, name=name, fmt=fmt, delimiter=delimiter)
    except InputProblem:
        return None  # this process's reading reports it
    found = probe.format
    if found not in ("jsonl", "text") or probe._lines.compressed is not None:
        return None  # a record may span lines, or the file is compressed
    try:
        cuts = [start]
        for k in range(1, parts):
            cut = _line_start(fd, max(cuts[-1], start + (end - start) * k // parts), end)
            if cut < end and cut > cuts[-1]:
                cuts.append(cut)
    except OSError:
        return None  # this process's reading reports it
    cuts.append(end)
    return (fd, found, cuts) if len(cuts) > 2 else None


def _line_start(fd: int, at: int, end: int) -> int:
    """The offset of the first line that starts at ``at`` or after (``end`` if none does)."""
    if at == 0:
        return 0
    at -= 1  # a line starts at `at` when the byte before it is a line break
    while at < end:
        block = os.pread(fd, min(1 << 16, end - at), at)
        if not block:
            break
        found = block.find(b"\n")
        if found >= 0:
            return at + found + 1
        at += len(block)
    return end


class _Slice:
    """Bytes [start, end) of a file, read with pread (so processes that share the file
    descriptor do not share a position)."""

    def __init__(self, fd: int, start: int, end: int) -> None:
        self._fd = fd
        self._at = start
        self._end = end

    def read(self, size: int = -1) -> bytes:
        left = self._end - self._at
        if left <= 0:
            return b""
        data = os.pread(self._fd, left if size < 0 else min(size, left), self._at)
        self._at += len(data)
        return data

    read1 = read


def _count_lines(fd: int, start: int, end: int) -> int:
    """The line breaks in bytes [start, end) of a file."""
    buffer = bytearray(_COPY_BLOCK)
    view = memoryview(buffer)
    count = 0
    while start < end:
        got = os.preadv(fd, [view[:min(_COPY_BLOCK, end - start)]], start)
        if not got:
            break
        count += _patterns.count_lines(view[:got])
        start += got
    return count


class _NoProcess(Exception):
    """A process for a part could not be made (a limit on processes, memory or files)."""


@dataclass
class _Child:
    pid: int
    pipe: int
    lines: IO[bytes] | None
    """Its per-task lines, when they are written."""
    done: bool = False


class _Run:
    """One evaluation in parts: this process takes the first, a child each of the others."""

    def __init__(self, fd: int, cuts: list[int], fmt: Format, options: dict[str, Any], settings: Settings,
                 out: IO[bytes] | None, progress: Progress | None) -> None:
        self._fd = fd
        self._cuts = cuts
        self._fmt = fmt
        self._options = options
        self._settings = settings
        self._out = out
        self._progress = progress
        self._counters = mmap.mmap(-1, _COUNTERS.size * len(cuts))  # shared with the children
        self._children: list[_Child] = []
        self._reader: TaskReader | None = None
        self._pid = os.getpid()

    def report(self) -> Report:
        with ExitStack() as stack:
            stack.callback(self._counters.close)
            stack.callback(self._stop_children)
            for k in range(1, len(self._cuts) - 1):
                self._start_child(k, stack)
            reader = self._reader = self._part_reader(0, 1)
            parts = [evaluate_part(reader, self._settings, out=self._out, progress=self._own_progress)]
            for child in self._children:
                parts.append(self._result_of(child))
            return combine(self._settings, parts)
        raise AssertionError("unreachable")  # for the type checker: ExitStack may swallow

    def _part_reader(self, k: int, first_line: int) -> TaskReader:
        start, end = self._cuts[k], self._cuts[k + 1]
        return TaskReader(cast(BinaryIO, _Slice(self._fd, start, end)), fmt=self._fmt, size=end - start,
                          first_line=first_line, **self._options)

    # --- the children ---

    def _start_child(self, k: int, stack: ExitStack) -> None:
        lines: IO[bytes] | None = None
        if self._out is not None:
            lines = stack.enter_context(tempfile.TemporaryFile(buffering=0, dir=_folder_of(self._out)))
        try:
            read_end, write_end = os.pipe()
        except OSError as error:
            raise _NoProcess from error
        stack.callback(os.close, read_end)
        for stream in (sys.stdout, sys.stderr):  # nothing buffered is written twice
            if stream is not None:
                try:
                    stream.flush()
                except (OSError, ValueError):
                    pass
        # Signals wait until the child is on the list of those to stop: a KeyboardInterrupt
        # raised just after the fork, or inside an at-fork hook (which swallows it), would
        # leave the child running or the interruption unnoticed.
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, signal.valid_signals())
        try:
            try:
                pid = os.fork()
            except OSError as error:
                os.close(write_end)
                raise _NoProcess from error
            if pid == 0:  # pragma: no cover - the child's coverage is not collected
                self._child_main(k, write_end, read_end, lines, mask)
            self._children.append(_Child(pid, read_end, lines))
            os.close(write_end)
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, mask)

    def _child_main(self, k: int, pipe: int, read_end: int, lines: IO[bytes] | None,
                    mask: Collection[int]) -> None:
        """The child's whole life: it never returns into the parent's frames."""
        status = 0
        try:
            try:
                os.close(read_end)
                signal.pthread_sigmask(signal.SIG_SETMASK, mask)
                first_line = _count_lines(self._fd, self._cuts[0], self._cuts[k]) + 1
                reader = self._part_reader(k, first_line)
                counters, parent = self._counters, self._pid

                def progress(reading: TaskReader) -> None:
                    if os.getppid() != parent:  # the parent was killed: nobody waits for the part
                        os._exit(1)
                    _COUNTERS.pack_into(counters, _COUNTERS.size * k, reading.bytes_read, reading.tasks)

                message: tuple[Any, ...] = ("part", evaluate_part(reader, self._settings, out=lines,
                                                                  progress=progress))
            except KeyboardInterrupt:
                status = 130  # the parent had the same signal, and says so
                return
            except InputProblem as problem:
                message = ("problem", problem.where, problem.problem, problem.line)
            except BaseException as error:  # noqa: BLE001 - every failure goes back to the parent
                message = ("error", _portable(error))
            _write_all(pipe, pickle.dumps(message, protocol=pickle.HIGHEST_PROTOCOL))
        except BaseException:  # noqa: BLE001 - the pipe itself failed: the parent sees no result
            status = 1
        finally:
            os._exit(status)

    def _result_of(self, child: _Child) -> Part:
        """The child's part; its lines appended to the output; its failure raised here."""
        data = self._receive(child)
        wait_status = _reap(child.pid)
        child.done = True
        if not data:  # its lines are left out: they may stop anywhere
            raise PartFailed(f"the process that evaluated a part of {self._options['where']} ended "
                             f"without a result ({_ending(wait_status)})")
        message = pickle.loads(data)
        if child.lines is not None and self._out is not None:
            _append(child.lines, self._out)
            child.lines.close()
        if message[0] == "part":
            part: Part = message[1]
            return part
        if message[0] == "problem":
            raise InputProblem(*message[1:])
        raise message[1]

    def _receive(self, child: _Child) -> bytes:
        """What the child sends, until it closes the pipe; the progress is kept up meanwhile."""
        chunks: list[bytes] = []
        while True:
            ready, _, _ = select.select([child.pipe], [], [], 0.2)
            if ready:
                chunk = os.read(child.pipe, 1 << 16)
                if not chunk:
                    return b"".join(chunks)
                chunks.append(chunk)
            self._own_progress(None)

    def _stop_children(self) -> None:
        """Ends and reaps the children not yet reaped (after a failure or an interruption)."""
        for child in self._children:
            if child.done:
                continue
            try:
                os.kill(child.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            _reap(child.pid)
            child.done = True

    # --- progress ---

    def _own_progress(self, _: TaskReader | None) -> None:
        if self._progress is not None and self._reader is not None:
            self._progress(_Reading(self._reader, self._counters, len(self._cuts) - 1,
                                    self._cuts[-1] - self._cuts[0]))


@dataclass(frozen=True)
class _Reading:
    """The whole run's reading, as the progress sees it: this process's reader and the
    counters the children keep."""

    reader: TaskReader
    counters: mmap.mmap
    parts: int
    size: int

    def _sums(self) -> tuple[int, int]:
        read, tasks = self.reader.bytes_read, self.reader.tasks
        for k in range(1, self.parts):
            part_read, part_tasks = _COUNTERS.unpack_from(self.counters, _COUNTERS.size * k)
            read += part_read
            tasks += part_tasks
        return read, tasks

    @property
    def tasks(self) -> int:
        return self._sums()[1]

    @property
    def fraction_read(self) -> float | None:
        return min(1.0, self._sums()[0] / self.size) if self.size else None


def _folder_of(out: IO[bytes]) -> str | None:
    """The folder of the output file, for the parts' lines (one file system: the copy can
    share blocks); None (the temporary folder) when the output is not a regular file."""
    name = getattr(out, "name", None)
    try:
        regular = isinstance(name, str) and stat.S_ISREG(os.fstat(out.fileno()).st_mode)
    except (OSError, AttributeError, ValueError, io.UnsupportedOperation):
        regular = False
    if not regular:
        return None
    folder = os.path.dirname(os.path.abspath(str(name)))
    return folder if os.access(folder, os.W_OK) else None


def _append(lines: IO[bytes], out: IO[bytes]) -> None:
    """Appends a part's lines to the output: in the kernel where both are files, else
    through this process."""
    source = lines.fileno()
    size = os.fstat(source).st_size
    offset = 0
    if isinstance(out, io.FileIO) and hasattr(os, "copy_file_range"):
        target = out.fileno()
        try:
            while offset < size:
                copied = os.copy_file_range(source, target, size - offset, offset_src=offset)
                if not copied:
                    break
                offset += copied
        except OSError:  # not between these two (a pipe, another file system): copy below
            pass
    while offset < size:
        data = os.pread(source, min(_COPY_BLOCK, size - offset), offset)
        if not data:
            break
        write_all(out, data)
        offset += len(data)


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def _portable(error: BaseException) -> BaseException:
    """``error`` if it survives pickling, else a RuntimeError that carries its traceback."""
    try:
        copy: BaseException = pickle.loads(pickle.dumps(error))
        if type(copy) is type(error):
            return copy
    except Exception:  # noqa: BLE001 - anything unpicklable is sent as text
        pass
    text = "".join(traceback.format_exception(error)).rstrip()
    return RuntimeError(f"the process that evaluated a part failed:\n{text}")


def _reap(pid: int) -> int | None:
    """The child's wait status; None when something else reaped it (a program that ignores
    SIGCHLD, or waits for any child in its handler)."""
    try:
        return os.waitpid(pid, 0)[1]
    except ChildProcessError:
        return None


def _ending(wait_status: int | None) -> str:
    if wait_status is None:
        return "its exit status is unknown"
    if os.WIFSIGNALED(wait_status):
        number = os.WTERMSIG(wait_status)
        try:
            return f"ended by {signal.Signals(number).name}"
        except ValueError:
            return f"ended by signal {number}"
    return f"exit status {os.waitstatus_to_exitcode(wait_status)}"
