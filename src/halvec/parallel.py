"""A workload file evaluated by several processes at once, a part each, with the standard
library's process pool: the report and the per-task lines are those one process gives.

The file is cut at line breaks into parts of about the same size, a few for each process
(so one that runs slower does fewer), their first line numbers counted once (natively). The
pool's processes are started by a fork server (a clean process, so starting them is safe
whatever threads this one runs). A part's per-task lines go to a file of its own beside the
output; counts are combined and lines appended in the order of the file, so the first bad
line reported is the first in the file. A process that ends without its result (killed, out
of memory) fails the run with :class:`PartFailed`, its lines left out; after a failure or an
interruption the processes are ended at once, and a process whose parent is gone ends by
itself.

Only a regular JSONL or text file is cut (a CSV record may span lines, a JSON array is one
value, compressed data cannot be entered midway), into parts of :data:`MIN_PART` bytes or
more, on Linux (the processes open the very file this one has open, through ``/proc``). The
parts are the file as it was when the run began. Anything else is read by this process alone.
"""

from __future__ import annotations

import io
import multiprocessing
import os
import pickle
import signal
import stat
import sys
import tempfile
import threading
import warnings
from collections.abc import Callable, Collection, Mapping
from concurrent.futures import Executor, ProcessPoolExecutor
from concurrent.futures import TimeoutError as FutureTimeout
from concurrent.futures.process import BrokenProcessPool
from contextlib import ExitStack, nullcontext
from dataclasses import dataclass
from functools import partial
from typing import IO, Any, BinaryIO, Final, Protocol, cast

from halvec import _workload
from halvec.evaluation import Part, Report, Settings, combine, evaluate, evaluate_part, write_all
from halvec.pattern_lists import PatternLists, applied, in_force
from halvec.workload import EncodingErrors, Format, InputProblem, TaskReader

__all__ = ["MIN_PART", "PartFailed", "Progress", "evaluate_in_parts", "usable_cores"]

MIN_PART: Final = 16 << 20
"""The fewest bytes a part has: the pool takes a few tenths of a second to start, in which
one process evaluates about this much."""
PARTS_A_PROCESS: Final = 4
"""Parts for each process, at most: enough for one that started late, or runs slower, to do
less."""

_COPY_BLOCK: Final = 4 << 20


class PartFailed(Exception):
    """A process evaluating a part of the input ended without its result (it was killed, or
    ran out of memory); the text says which input, and how the process ended."""


class _NoProcesses(Exception):
    """The pool's processes could not be started."""


class Progress(Protocol):
    """Called with the whole run's reading so far (its ``tasks`` and ``fraction_read``)."""

    def __call__(self, reading: Any, /) -> None: ...


def usable_cores() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


@dataclass(frozen=True)
class _Job:
    """What a part's process needs, sent to it: the file, the cuts and how to evaluate."""

    path: str
    identity: tuple[int, int]
    cuts: list[int]
    first_lines: list[int]
    """The number of each part's first line."""
    format: Format
    options: dict[str, Any]
    settings: Settings
    lists: PatternLists


def evaluate_in_parts(stream: BinaryIO, settings: Settings, *, name: str, where: str, size: int | None = None,
                      fmt: Format | None = None, field: str | None = None, delimiter: str | None = None,
                      models: Collection[str] | Mapping[str, str] = (), model_field: str | None = "model",
                      skip_bad: bool = False, encoding_errors: EncodingErrors = "strict",
                      setting_names: Mapping[str, str] | None = None, out: IO[bytes] | None = None,
                      progress: Progress | None = None, jobs: int | None = None, min_part: int | None = None) -> Report:
    """:func:`halvec.evaluation.evaluate` of the tasks ``stream`` holds from where it stands,
    by up to ``jobs`` processes (None: one for each usable core) when it is a regular file that
    can be cut (see the module's notes), else by this process. The reader's options are
    :class:`halvec.workload.TaskReader`'s; ``min_part`` is the fewest bytes a part may have
    (None: :data:`MIN_PART`)."""
    options: dict[str, Any] = {"where": where, "name": name, "field": field, "delimiter": delimiter,
                               "models": dict(models) if isinstance(models, Mapping) else tuple(models),
                               "model_field": model_field, "skip_bad": skip_bad, "encoding_errors": encoding_errors,
                               "setting_names": None if setting_names is None else dict(setting_names)}
    try:
        start: int | None = stream.tell()
    except (OSError, AttributeError, ValueError):
        start = None
    reader = TaskReader(stream, fmt=fmt, size=size, **options)  # reads the start: the format, gzip, not text
    processes = jobs if jobs is not None else usable_cores()
    job = _plan(stream, start, reader, options, settings, processes, min_part if min_part is not None else MIN_PART)
    if job is None:
        return evaluate(reader, settings, out=out, progress=progress)
    try:
        report = _run(job, out, progress, processes)
    except _NoProcesses:  # nothing is written yet: this process reads the file alone
        stream.seek(job.cuts[0])
        return evaluate(TaskReader(stream, fmt=reader.format, size=size, **options), settings, out=out,
                        progress=progress)
    # the parts were read through descriptors of their own: the stream is left where one
    # process's reading leaves it, for whatever reads it next (a shell's standard input)
    stream.seek(job.cuts[-1])
    return report


def _plan(stream: BinaryIO, start: int | None, reader: TaskReader, options: dict[str, Any], settings: Settings,
          jobs: int, min_part: int) -> _Job | None:
    """What the processes are to do, or None when the stream is to be read by this process."""
    if jobs < 2 or start is None or not sys.platform.startswith("linux") or reader.compressed \
            or reader.format not in ("jsonl", "text"):
        return None
    try:
        fd = stream.fileno()
        status = os.fstat(fd)
        path = f"/proc/{os.getpid()}/fd/{fd}"
        if not stat.S_ISREG(status.st_mode) or not os.path.samestat(os.stat(path), status):
            return None
        end = status.st_size
        parts = min(jobs * PARTS_A_PROCESS, (end - start) // max(1, min_part))
        if parts < 2:
            return None
        cuts = [start]
        for k in range(1, parts):
            cut = _line_start(fd, max(cuts[-1], start + (end - start) * k // parts), end)
            if cuts[-1] < cut < end:
                cuts.append(cut)
        cuts.append(end)
        first_lines = [1]
        for k in range(1, len(cuts) - 1):
            first_lines.append(first_lines[-1] + _count_lines(fd, cuts[k - 1], cuts[k]))
    except (OSError, ValueError, io.UnsupportedOperation):
        return None  # this process's reading reports it
    job = _Job(path, (status.st_dev, status.st_ino), cuts, first_lines, reader.format, options, settings,
               in_force())
    try:
        pickle.dumps(job)
    except Exception:  # noqa: BLE001 - settings another process cannot be sent (a caller's own store)
        return None
    return job if len(cuts) > 2 else None


def _line_start(fd: int, at: int, end: int) -> int:
    """The offset of the first line that starts at ``at`` or after (``end`` if none does)."""
    at -= 1  # a line starts at `at` when the byte before it is a line break
    while at < end:
        block = os.pread(fd, min(1 << 16, end - at), at)
        found = block.find(b"\n")
        if found >= 0:
            return at + found + 1
        if not block:
            break
        at += len(block)
    return end


def _run(job: _Job, out: IO[bytes] | None, progress: Progress | None, processes: int,
         pool: Executor | None = None) -> Report:
    """The job's parts evaluated by a pool of ``processes`` (or by ``pool``: the tests
    evaluate them one after the other in this process)."""
    parts = len(job.cuts) - 1
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload([__name__])
    counters = context.Array("q", 2 * parts, lock=False)  # each part's bytes read and tasks, for the progress
    reading = _Reading(counters, job.cuts[-1] - job.cuts[0])
    with ExitStack() as stack:
        lines = [_part_lines(out, stack) for _ in range(parts)] if out is not None else [None] * parts
        if pool is None:
            pool = ProcessPoolExecutor(processes, mp_context=context, initializer=_start_worker,
                                       initargs=(counters,))
        stack.callback(pool.shutdown)
        stack.push(partial(_stop, pool))  # done, failed or interrupted: nothing is left for them
        try:
            futures = [pool.submit(_evaluate_part, job, k, _name(lines[k])) for k in range(parts)]
        except OSError as error:  # a limit on processes, memory or files
            raise _NoProcesses from error
        results: list[Part] = []
        for k, future in enumerate(futures):  # in the order of the file: its first failure is raised
            while True:
                try:
                    results.append(future.result(timeout=0.2))
                    break
                except FutureTimeout:
                    _show(progress, reading)
                except BrokenProcessPool:
                    raise PartFailed(f"a process evaluating a part of {job.options['where']} ended without "
                                     f"finishing (killed, or out of memory)") from None
            part_lines = lines[k]
            if part_lines is not None and out is not None:
                _append(part_lines, out)
                part_lines.close()  # and removed
        _show(progress, reading)
        return combine(job.settings, results)
    raise AssertionError("unreachable")  # for the type checker: ExitStack may swallow


def _name(file: IO[bytes] | None) -> str | None:
    return file.name if file is not None else None


def _show(progress: Progress | None, reading: _Reading, *_: object) -> None:
    if progress is not None:
        progress(reading)


def _part_lines(out: IO[bytes], stack: ExitStack) -> IO[bytes]:
    """A file for a part's per-task lines, beside the output (one file system: the kernel can
    copy them), removed when it is closed."""
    return stack.enter_context(tempfile.NamedTemporaryFile(prefix=".halvec-part-", suffix=".jsonl",
                                                           dir=_folder_of(out)))


def _stop(pool: Executor, *failure: object) -> None:
    """Ends the pool's processes at once: none is left to finish what nobody waits for."""
    kill = getattr(pool, "kill_workers", None)  # 3.14 and later
    if kill is not None:
        kill()
    else:
        for process in list(getattr(pool, "_processes", {}).values()):
            process.kill()
    pool.shutdown(cancel_futures=True)


# --- in a part's process ----------------------------------------------------------------------

_counters: Any = None


def _start_worker(counters: Any) -> None:
    """Sets up a part's process: Ctrl-C is for the parent to act on (it ends this process),
    a warning the parent has given about a pattern is not given again, and the process ends
    by itself if its parent is gone."""
    global _counters
    _counters = counters
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    warnings.filterwarnings("ignore", message="Possible ", category=FutureWarning)
    parent = multiprocessing.parent_process()
    if parent is not None:
        threading.Thread(target=_end_with, args=(parent,), daemon=True).start()


def _end_with(parent: multiprocessing.process.BaseProcess) -> None:
    # the parent's end of a pipe to this process closes when the parent ends, however it ends
    parent.join()
    os._exit(1)


def _evaluate_part(job: _Job, k: int, lines: str | None, counters: Any = None,
                   progress: Callable[[TaskReader], None] | None = None) -> Part:
    """Part ``k`` of the job, its per-task lines written to ``lines``; the progress is kept
    in ``counters`` (None: the pool's), and reported to ``progress`` too."""
    start, end = job.cuts[k], job.cuts[k + 1]
    shared = counters if counters is not None else _counters
    try:
        file = open(job.path, "rb")
    except OSError as error:
        raise InputProblem(job.options["where"], f"cannot be read: {error.strerror or error}") from None
    with file, open(lines, "wb", buffering=0) if lines else nullcontext() as out:
        fd = file.fileno()
        status = os.fstat(fd)
        if (status.st_dev, status.st_ino) != job.identity:  # the program that had it open is gone
            raise InputProblem(job.options["where"], "cannot be read: the file being evaluated is gone")
        reader = TaskReader(cast(BinaryIO, _Slice(fd, start, end)), fmt=job.format, size=end - start,
                            first_line=job.first_lines[k], **job.options)

        def counted(reader: TaskReader) -> None:
            if shared is not None:
                shared[2 * k] = reader.bytes_read
                shared[2 * k + 1] = reader.tasks
            if progress is not None:
                progress(reader)

        with applied(job.lists):
            return evaluate_part(reader, job.settings, out=cast(IO[bytes] | None, out), progress=counted)


class _Slice:
    """Bytes [start, end) of a file, read with pread."""

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
        count += _workload.count_lines(view[:got])
        start += got
    return count


# --- in this process --------------------------------------------------------------------------

@dataclass(frozen=True)
class _Reading:
    """The whole run's reading, as the progress sees it: the counters the parts keep."""

    counters: Any
    size: int

    @property
    def tasks(self) -> int:
        return sum(self.counters[1::2])

    @property
    def fraction_read(self) -> float | None:
        return min(1.0, sum(self.counters[0::2]) / self.size) if self.size else None


def _folder_of(out: IO[bytes]) -> str | None:
    """The folder of the output file; None (the temporary folder) when the output is not a
    regular file in a folder this process may write to."""
    try:
        fd = out.fileno()
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
        folder = os.path.dirname(os.readlink(f"/proc/self/fd/{fd}"))
    except (OSError, AttributeError, ValueError, io.UnsupportedOperation):
        return None
    return folder if os.access(folder, os.W_OK) else None


def _append(lines: IO[bytes], out: IO[bytes]) -> None:
    """Appends a part's lines to the output: in the kernel where the output is an unbuffered
    file or pipe, else through this process."""
    source = lines.fileno()
    size = os.fstat(source).st_size
    offset = 0
    if isinstance(out, io.FileIO):
        try:
            while offset < size:
                sent = os.sendfile(out.fileno(), source, offset, size - offset)
                if not sent:
                    break
                offset += sent
        except OSError:  # not to this output: copied below (where a real failure shows again)
            pass
    while offset < size:
        data = os.pread(source, min(_COPY_BLOCK, size - offset), offset)
        if not data:
            break
        write_all(out, data)
        offset += len(data)
