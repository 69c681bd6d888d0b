"""A file evaluated in parts, by this process and a pool of others at once: the report and the
per-task lines are those one process gives.

The file is cut at line breaks into units of about the same size, a few dozen for each
process. This process takes parts from the front, as soon as the file is cut, and writes their
lines to the output itself; the pool's processes take parts from the back, one at a time, each
part's lines to a file of its own beside the output, appended in order once this process is
done. Each part is a share of the units left (a smaller share as fewer are left), so the first
parts are large and the last small: where the two sides meet, no process waits long for
another, and one that runs slower (a busy core) does less. The units' first line numbers are
counted (natively, by a thread of this process, while this process evaluates the first part).
The pool's processes are started by a fork server (a clean process, so starting them is safe
whatever threads this one runs), started with the package imported as soon as the file is
cut: its start-up costs the run no more than its processor time on the other cores.

Counts are combined in the order of the file, so the first bad line reported is the first in
the file. A process that ends without its result (killed, out of memory) fails the run with
:class:`PartFailed` as soon as this process sees it, its lines left out; after a failure or an
interruption the processes are ended at once, and a process whose parent is gone ends by
itself. Processes that cannot be started leave their parts to this process.

Only a regular JSONL or text file is cut (a CSV record may span lines, a JSON array is one
value, compressed data cannot be entered midway), by no more processes than it has
:data:`MIN_PART` bytes for, on Linux (the processes open the very file this one has open,
through ``/proc``). The parts are the file as it was when the run began. Anything else is read
by this process alone.
"""

from __future__ import annotations

import gc
import io
import multiprocessing
import multiprocessing.forkserver
import os
import pickle
import signal
import stat
import sys
import tempfile
import threading
import warnings
from collections.abc import Callable
from concurrent.futures import FIRST_COMPLETED, Executor, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from contextlib import ExitStack, nullcontext
from dataclasses import dataclass
from functools import partial
from typing import IO, Any, BinaryIO, Final, Protocol, cast

from halvec import _workload
from halvec import catalogue as catalogues
from halvec.core import model_router as mr
from halvec.evaluation.results import Part, Report
from halvec.evaluation.runs import combine, evaluate, evaluate_part, write_all
from halvec.evaluation.settings import Settings
from halvec.evaluation.tally import router_log_silenced
from halvec.pattern_lists import PatternLists, applied, in_force
from halvec.workload import Format, InputProblem, ReadOptions, TaskReader

__all__ = ["MIN_PART", "UNITS_A_PROCESS", "PartFailed", "Progress", "evaluate_stream", "usable_cores"]

MIN_PART: Final = 16 << 20
"""The fewest bytes a file has for each process that evaluates a part of it: a smaller file is
not worth the pool's start, a few tenths of a second of processor time."""
UNITS_A_PROCESS: Final = 32
"""Units the file is cut into for each process, at most (each of ``MIN_PART / 16`` bytes or
more): the last parts are a unit or two, so the smaller the units the less one process waits
for another at the end; each part costs a millisecond or two to set up."""

_COPY_BLOCK: Final = 4 << 20
_COUNT_CALL: Final = 1 << 30
"""The most bytes whose line breaks one native call counts (a unit at least): a run that fails
or is interrupted while the lines are counted waits for that call to end (a fifth of a second
when the file is in memory), not for the whole count."""
_WAIT: Final = 0.2
"""Seconds between two looks at the progress while this process waits for the pool."""


class PartFailed(Exception):
    """A process evaluating a part of the input ended without its result (it was killed, or
    ran out of memory); the text says which input, and how the process ended."""


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
    """Where each unit starts, and the end."""
    processes: int
    """This process and the pool's: no more than the file has parts of ``MIN_PART`` bytes for."""
    format: Format
    where: str
    name: str
    options: ReadOptions
    settings: Settings
    lists: PatternLists
    catalogue: dict[str, mr.ModelSpec]
    """The catalogue in force (a user's own models among them): the parts route with it."""


def evaluate_stream(stream: BinaryIO, settings: Settings, options: ReadOptions, *, where: str, name: str,
                    size: int | None = None, out: IO[bytes] | None = None, progress: Progress | None = None,
                    jobs: int | None = None, min_part: int | None = None) -> Report:
    """:func:`halvec.evaluation.evaluate` of the tasks ``stream`` holds from where it stands,
    read with ``options``: in parts by this process and up to ``jobs - 1`` others (None: one
    process for each usable core) when it is a regular file that can be cut (see the module's
    notes), else by this process. ``min_part`` is the fewest bytes of the file for each process
    (None: :data:`MIN_PART`)."""
    try:
        start: int | None = stream.tell()
    except (OSError, AttributeError, ValueError):
        start = None
    reader = options.reader(stream, where, name=name, size=size)  # reads the start: the format, gzip, not text
    processes = jobs if jobs is not None else usable_cores()
    job = _plan(stream, start, reader, options, settings, processes, min_part if min_part is not None else MIN_PART)
    if job is None:
        return evaluate(reader, settings, out=out, progress=progress)
    report = _run(job, out, progress, job.processes)
    # the parts were read through descriptors of their own: the stream is left where one
    # process's reading leaves it, for whatever reads it next (a shell's standard input)
    stream.seek(job.cuts[-1])
    return report


def _plan(stream: BinaryIO, start: int | None, reader: TaskReader, options: ReadOptions, settings: Settings,
          jobs: int, min_part: int) -> _Job | None:
    """What the processes are to do, or None when the stream is to be read by this process."""
    if jobs < 2 or start is None or not sys.platform.startswith("linux") or reader.compressed \
            or reader.format not in ("jsonl", "text"):
        return None
    lists = in_force()
    try:
        pickle.dumps((settings, lists, options, mr.AVAILABLE_MODELS))
    except Exception:  # noqa: BLE001 - settings another process cannot be sent (a caller's own store)
        return None
    try:
        fd = stream.fileno()
        status = os.fstat(fd)
        path = f"/proc/{os.getpid()}/fd/{fd}"
        if not stat.S_ISREG(status.st_mode) or not os.path.samestat(os.stat(path), status):
            return None
        end = status.st_size
        processes = min(jobs, (end - start) // max(1, min_part))
        if processes < 2:
            return None
        units = min(processes * UNITS_A_PROCESS, (end - start) // max(1, min_part // 16))
        cuts = [start]
        for k in range(1, units):
            cut = _line_start(fd, max(cuts[-1], start + (end - start) * k // units), end)
            if cut == end:  # no line starts past here: the searches for the later cuts would read to the end again
                break
            if cuts[-1] < cut:
                cuts.append(cut)
        cuts.append(end)
        if len(cuts) < 3:
            return None
    except (OSError, ValueError, io.UnsupportedOperation):
        return None  # this process's reading reports it
    _start_fork_server()  # it imports the package while this process starts on the first part
    return _Job(path, (status.st_dev, status.st_ino), cuts, processes, reader.format, reader.where, reader.name,
                options, settings, lists, dict(mr.AVAILABLE_MODELS))


def _start_fork_server() -> None:
    """Starts the pool's fork server, if it is not running, with the package imported (and the
    program, when it is a script), so that each process it makes starts at once."""
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(["__main__", __name__])
    multiprocessing.forkserver.ensure_running()


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


def _first_lines(job: _Job, stopped: Callable[[], bool]) -> list[int] | None:
    """The number of each unit's first line, the line breaks before it counted natively, in a
    call for each :data:`_COUNT_CALL` bytes: the interpreter's lock is taken once a call, not
    once a block, while this process's own thread holds it evaluating its first part. None
    once ``stopped()`` (the run failed or was interrupted)."""
    try:
        file = open(job.path, "rb")
    except OSError as error:
        raise InputProblem(job.where, f"cannot be read: {error.strerror or error}") from None
    first_lines = [1]
    last = len(job.cuts) - 2  # the last unit's start: the last line break counted is before it
    with file:
        at = 0
        while at < last:
            if stopped():
                return None
            upto = at + 1
            while upto < last and job.cuts[upto + 1] - job.cuts[at] <= _COUNT_CALL:
                upto += 1
            try:
                counts = _workload.count_lines_in(file.fileno(), job.cuts[at:upto + 1])
            except OSError as error:
                raise InputProblem(job.where, f"cannot be read: {error.strerror or error}") from None
            for count in counts:
                first_lines.append(first_lines[-1] + count)
            at = upto
    return first_lines


# --- in this process --------------------------------------------------------------------------

class _Claims:
    """The units no process has taken: this process takes its parts from the front, the pool
    from the back, so that each side's parts follow one another in the file. A part is a share
    of the units left: with ``processes`` at work, one in twice as many, at least one unit."""

    def __init__(self, units: int, processes: int) -> None:
        self._lock = threading.Lock()
        self._front = 0
        self._back = units  # the units from here on are taken
        self._shares = 2 * processes

    def _size(self) -> int:
        return max(1, -(-(self._back - self._front) // self._shares))

    def front(self) -> range | None:
        with self._lock:
            if self._front >= self._back:
                return None
            taken = range(self._front, self._front + self._size())
            self._front = taken.stop
            return taken

    def back(self) -> range | None:
        with self._lock:
            if self._front >= self._back:
                return None
            taken = range(self._back - self._size(), self._back)
            self._back = taken.start
            return taken

    def give_back(self, taken: range) -> None:
        """Gives back the part :meth:`back` gave last (no process could take it)."""
        with self._lock:
            assert taken.start == self._back
            self._back = taken.stop


def _run(job: _Job, out: IO[bytes] | None, progress: Progress | None, processes: int,
         pool: Executor | None = None) -> Report:
    """The job's units evaluated by this process and a pool of ``processes - 1`` others (or
    ``pool``: the tests evaluate its parts in a thread of this process)."""
    units = len(job.cuts) - 1
    context = multiprocessing.get_context("forkserver")
    counters = context.Array("q", 2 * units, lock=False)  # each part's bytes read and tasks, for the progress
    reading = _Reading(counters, job.cuts[-1] - job.cuts[0])
    with ExitStack() as stack:
        stack.enter_context(router_log_silenced())
        if pool is None:
            pool = ProcessPoolExecutor(max(1, processes - 1), mp_context=context, initializer=_start_worker,
                                       initargs=(counters, gc.get_threshold()))
        stack.callback(pool.shutdown)
        claims = _Claims(units, processes)
        feeder = _Feeder(pool, job, claims, out, max(1, processes - 1))
        stack.callback(feeder.close)
        stack.push(partial(_stop, pool))  # done, failed or interrupted: nothing is left for them
        results: dict[int, Part] = {}

        def counted(k: int, reader: TaskReader) -> None:
            counters[2 * k] = reader.bytes_read
            counters[2 * k + 1] = reader.tasks
            feeder.check()
            _show(progress, reading)

        while True:
            taken = claims.front()
            if taken is None:
                feeder.finish(partial(_show, progress, reading))
                taken = claims.front()  # a part the pool could not take
                if taken is None:
                    break
            k = taken.start
            results[k] = _part(job, taken, feeder.first_line(k), out, partial(counted, k))
        for k, future in sorted(feeder.futures.items()):  # in the order of the file: its first failure is raised
            try:
                results[k] = future.result()
            except BrokenProcessPool:
                raise feeder.failed() from None
            part_lines = feeder.lines.get(k)
            if part_lines is not None and out is not None:
                _append(part_lines, out)
                part_lines.close()  # and removed
        _show(progress, reading)
        return combine(job.settings, [results[k] for k in sorted(results)])
    raise AssertionError("unreachable")  # for the type checker: ExitStack may swallow


class _Feeder:
    """Keeps each of the pool's processes at work on a part, taken from the back, from a
    thread of this process (handing the pool its first part waits until the fork server has
    made a process); first it counts the lines before each unit, while this process evaluates
    its first part."""

    def __init__(self, pool: Executor, job: _Job, claims: _Claims, out: IO[bytes] | None, processes: int) -> None:
        self._pool = pool
        self._job = job
        self._claims = claims
        self._out = out
        self._processes = processes
        self.futures: dict[int, Future[Part]] = {}
        """Each part the pool took, by its first unit."""
        self.lines: dict[int, IO[bytes]] = {}
        """The file of each part's per-task lines, by its first unit."""
        self._broken = False
        self._closed = False
        self._first_lines: list[int] = []
        self._unnumbered: BaseException | None = None
        self._numbered = threading.Event()
        self._thread = threading.Thread(target=self._feed, name="halvec-parts", daemon=True)
        self._thread.start()

    def first_line(self, k: int) -> int:
        """The number of unit ``k``'s first line (once the lines before it are counted)."""
        if k == 0:
            return 1
        self._numbered.wait()
        if self._unnumbered is not None:
            raise self._unnumbered
        return self._first_lines[k]

    def _feed(self) -> None:
        try:
            numbered = _first_lines(self._job, lambda: self._closed)
            if numbered is None:  # the run is over
                return
            first_lines = self._first_lines = numbered
        except BaseException as problem:  # noqa: BLE001 - an unreadable file, no memory: raised as it is
            self._unnumbered = problem  # where a number is wanted; no part goes to the pool
            return
        finally:
            self._numbered.set()
        running: set[Future[Part]] = set()
        while True:
            while len(running) < self._processes and not self._closed:
                taken = self._claims.back()
                if taken is None:
                    break
                k = taken.start
                try:
                    lines = _part_lines(self._out) if self._out is not None else None
                    if lines is not None:
                        self.lines[k] = lines
                    future = self._pool.submit(_evaluate_part, self._job, taken, first_lines[k], _name(lines))
                except (OSError, RuntimeError) as error:  # no file or process to be had (a limit), or no pool
                    self._claims.give_back(taken)
                    self._broken = isinstance(error, BrokenProcessPool)
                    return
                self.futures[k] = future
                running.add(future)
            if not running:
                return
            done, running = wait(running, return_when=FIRST_COMPLETED)
            if any(isinstance(future.exception(), BrokenProcessPool) for future in done if not future.cancelled()):
                self._broken = True
                return

    def failed(self) -> PartFailed:
        return PartFailed(f"a process evaluating a part of {self._job.where} ended without finishing (killed, or "
                          f"out of memory)")

    def check(self) -> None:
        """PartFailed once a process of the pool has ended without its result."""
        if self._broken:
            raise self.failed()

    def close(self) -> None:
        """Takes no more parts, waits for the thread to end (once the pool is stopped, it waits
        for nothing) and removes the parts' files."""
        self._closed = True
        self._thread.join()
        for lines in self.lines.values():
            lines.close()

    def finish(self, waiting: Callable[[], None]) -> None:
        """Waits until the pool has done its parts (or can take no more), calling ``waiting``
        now and then."""
        while self._thread.is_alive():
            self._thread.join(_WAIT)
            waiting()
        self.check()


def _part(job: _Job, taken: range, first_line: int, out: IO[bytes] | None,
          progress: Callable[[TaskReader], None] | None) -> Part:
    """The part of the job made of the units ``taken``, whose first line is numbered
    ``first_line``, evaluated in this process, its per-task lines written to ``out``."""
    start, end = job.cuts[taken.start], job.cuts[taken.stop]
    try:
        file = open(job.path, "rb")
    except OSError as error:
        raise InputProblem(job.where, f"cannot be read: {error.strerror or error}") from None
    with file:
        fd = file.fileno()
        status = os.fstat(fd)
        if (status.st_dev, status.st_ino) != job.identity:  # the program that had it open is gone
            raise InputProblem(job.where, "cannot be read: the file being evaluated is gone")
        reader = job.options.reader(cast(BinaryIO, _Slice(fd, start, end)), job.where, name=job.name,
                                    size=end - start, fmt=job.format, first_line=first_line)
        return evaluate_part(reader, job.settings, out=out, progress=progress)


def _name(file: IO[bytes] | None) -> str | None:
    return file.name if file is not None else None


def _show(progress: Progress | None, reading: _Reading, *_: object) -> None:
    if progress is not None:
        progress(reading)


def _part_lines(out: IO[bytes]) -> IO[bytes]:
    """A file for a part's per-task lines, beside the output (one file system: the kernel can
    copy them), removed when it is closed."""
    return tempfile.NamedTemporaryFile(prefix=".halvec-part-", suffix=".jsonl", dir=_folder_of(out))


def _stop(pool: Executor, *failure: object) -> None:
    """Ends the pool's processes at once: none is left to finish what nobody waits for."""
    kill = getattr(pool, "kill_workers", None)  # 3.14 and later
    if kill is not None:
        kill()
    else:
        for process in list((getattr(pool, "_processes", None) or {}).values()):
            process.kill()
    pool.shutdown(cancel_futures=True)


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
    file or pipe (by reference, where the file system can share the data), else through this
    process."""
    source = lines.fileno()
    size = os.fstat(source).st_size
    offset = 0
    if isinstance(out, io.FileIO):
        for copy in (_copy_range, os.sendfile):
            try:
                while offset < size:
                    sent = copy(out.fileno(), source, offset, size - offset)
                    if not sent:
                        break
                    offset += sent
            except OSError:  # not between these files: the next way (where a real failure shows again)
                continue
            break
    while offset < size:
        data = os.pread(source, min(_COPY_BLOCK, size - offset), offset)
        if not data:
            break
        write_all(out, data)
        offset += len(data)


def _copy_range(out: int, source: int, offset: int, count: int) -> int:
    """``os.sendfile``'s arguments for ``os.copy_file_range`` (file to file only)."""
    return os.copy_file_range(source, out, count, offset)


# --- in a part's process ----------------------------------------------------------------------

_counters: Any = None


def _start_worker(counters: Any, collection: tuple[int, ...]) -> None:
    """Sets up a part's process: it collects garbage as its parent does (``collection``: the
    parent's thresholds, which a caller may have raised for the run), Ctrl-C is for the
    parent to act on (it ends this process), a warning the parent has given about a pattern
    is not given again, and the process ends by itself if its parent is gone."""
    global _counters
    _counters = counters
    gc.set_threshold(*collection)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    warnings.filterwarnings("ignore", message="Possible ", category=FutureWarning)
    parent = multiprocessing.parent_process()
    if parent is not None:
        threading.Thread(target=_end_with, args=(parent,), daemon=True).start()


def _end_with(parent: multiprocessing.process.BaseProcess) -> None:
    # the parent's end of a pipe to this process closes when the parent ends, however it ends
    parent.join()
    os._exit(1)


def _evaluate_part(job: _Job, taken: range, first_line: int, lines: str | None) -> Part:
    """The part of the job made of the units ``taken`` (its first line numbered
    ``first_line``), in a process of the pool, its per-task lines written to the file
    ``lines``, its progress kept in the pool's counters."""
    shared = _counters
    k = taken.start

    def counted(reader: TaskReader) -> None:
        if shared is not None:
            shared[2 * k] = reader.bytes_read
            shared[2 * k + 1] = reader.tasks

    with open(lines, "wb", buffering=0) if lines else nullcontext() as out, applied(job.lists), \
            catalogues.applied(job.catalogue):
        return _part(job, taken, first_line, cast(IO[bytes] | None, out), counted)


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
