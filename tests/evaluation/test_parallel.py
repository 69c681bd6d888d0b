"""A file evaluated in parts, by this process and a pool of others, gives what one process
gives: the same report, the same per-task lines in the same order, the same first bad line,
the same errors; a process that dies fails the run with its lines left out, and no process
outlives the run. Parts are forced small here (min_part=1) so that small files are cut."""

import gzip
import io
import json
from concurrent.futures import Executor, Future
from functools import partial
import os
import signal
import subprocess
import sys
import tempfile
import time
from types import SimpleNamespace

import pytest
from hypothesis import given
from hypothesis import strategies as st

from halvec import cli
from halvec.config import SecretsStore
from halvec.core import model_router as mr
from halvec.evaluation import Settings, evaluate, parts
from halvec.workload import InputProblem, ReadOptions, TaskReader

KEYS = list(mr.AVAILABLE_MODELS)
WORDS = ["research", "write", "report", "list", "fetch", "compare", "and", "contrast", "item", "the",
         "é", "🚀", "İ", "\t"]


class Store(SecretsStore):
    """A key for every provider; in a part's process (not the one that made it), a question
    about ``doom`` ends that process: by SIGKILL, or by sleeping until it is ended."""

    def __init__(self, doom=None, how="kill"):
        super().__init__()
        self.parent, self.doom, self.how = os.getpid(), doom, how

    def has_key(self, provider):
        if provider == self.doom and os.getpid() != self.parent:
            while self.how == "sleep":
                time.sleep(0.05)
            os.kill(os.getpid(), signal.SIGKILL)
        return True


def routing(store=None, **kwargs):
    return Settings(config=mr.ModelRoutingConfig(), store=store or Store(), **kwargs)


def options(**kwargs):
    return {"where": "'tasks'", "name": "tasks", "models": KEYS, **kwargs}


def evaluate_in_parts(stream, routes, *, jobs, min_part=1, out=None, progress=None, **kwargs):
    """The run in parts of ``stream``, read with ``options(**kwargs)``."""
    read = options(**kwargs)
    where, name = read.pop("where"), read.pop("name")
    return parts.evaluate_stream(stream, routes, ReadOptions(**{"models": tuple(read.pop("models")), **read}),
                                 where=where, name=name, out=out, progress=progress, jobs=jobs, min_part=min_part)


def one_process(path, routes, **kwargs):
    """(report or the error, per-task lines) as a single process reads the file."""
    out = io.BytesIO()
    with open(path, "rb") as stream:
        try:
            report = evaluate(TaskReader(stream, **options(**kwargs)), routes, out=out)
        except (InputProblem, OverflowError) as error:
            report = (type(error), str(error))
    return report, out.getvalue()


def in_parts(path, routes, jobs, *, buffered_out=False, progress=None, **kwargs):
    with tempfile.TemporaryFile(buffering=-1 if buffered_out else 0) as out, open(path, "rb") as stream:
        try:
            report = evaluate_in_parts(stream, routes, out=out, jobs=jobs, progress=progress, **kwargs)
        except (InputProblem, OverflowError) as error:
            report = (type(error), str(error))
        out.flush()
        out.seek(0)
        return report, out.read()


class Here(Executor):
    """Evaluates each part as it is submitted, in this process: what the pool's processes
    do, without the cost of starting them for every example."""

    def submit(self, fn, /, *args, **kwargs):
        future = Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except BaseException as error:  # noqa: BLE001 - handed over as the pool hands it over
            future.set_exception(error)
        return future


@pytest.fixture
def cut(monkeypatch):
    """The units and processes of each run in parts."""
    made = []
    run = parts._run

    def counted(job, *args, **kwargs):
        made.append((len(job.cuts) - 1, job.processes))
        return run(job, *args, **kwargs)
    monkeypatch.setattr(parts, "_run", counted)
    return made


record = st.fixed_dictionaries({"description": st.lists(st.sampled_from(WORDS), max_size=40).map(" ".join)},
                               optional={"id": st.one_of(st.integers(), st.text(max_size=5)),
                                         "model": st.sampled_from([*KEYS, "auto"]),
                                         "input_tokens": st.integers(0, 10**6),
                                         "output_tokens": st.integers(0, 10**6)})
jsonl_line = st.one_of(record.map(lambda r: json.dumps(r, ensure_ascii=False).encode()),
                       st.sampled_from([b"", b"  ", b"{", b"[1]", b'{"text": "x"}', b'{"description": "caf\xe9"}',
                                        b"\xef\xbb\xbf{}", b'{"description": "a", "model": "nope"}']))
text_line = st.one_of(st.lists(st.sampled_from(WORDS), max_size=30).map(" ".join).map(str.encode),
                      st.sampled_from([b"", b" ", b"x\xff\xfe bytes", b"\xef\xbb\xbfmid-file mark"]))


@given(fmt=st.sampled_from(["jsonl", "text"]), data=st.data(), jobs=st.integers(2, 4), bom=st.booleans(),
       crlf=st.booleans(), last_break=st.booleans(), skip_bad=st.booleans(),
       errors=st.sampled_from(["strict", "replace"]))
def test_parts_give_what_one_process_gives(fmt, data, jobs, bom, crlf, last_break, skip_bad, errors):
    lines = data.draw(st.lists(jsonl_line if fmt == "jsonl" else text_line, min_size=1, max_size=60))
    body = (b"\r\n" if crlf else b"\n").join(lines) + (b"\n" if last_break else b"")
    folder = tempfile.TemporaryDirectory()
    path = os.path.join(folder.name, "tasks")
    with open(path, "wb") as file:
        file.write((b"\xef\xbb\xbf" if bom else b"") + body)
    kwargs = {"fmt": fmt, "skip_bad": skip_bad, "encoding_errors": errors}
    expected, expected_lines = one_process(path, routing(input_tokens=100), **kwargs)
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(parts, "_run", partial(parts._run, pool=Here()))
        report, lines_out = in_parts(path, routing(input_tokens=100), jobs, **kwargs)
    assert report == expected
    if isinstance(expected, tuple):  # stopped at a bad line: what was written is from before it
        bad = int(expected[1].split(", line ")[1].split(":")[0])
        assert all(json.loads(line)["line"] < bad for line in lines_out.splitlines())
    else:
        assert lines_out == expected_lines


@given(units=st.integers(1, 300), processes=st.integers(2, 64), sides=st.lists(st.booleans(), max_size=400))
def test_parts_are_shares_of_what_is_left_from_either_end(units, processes, sides):
    # this process takes from the front, the pool from the back; every unit is taken once,
    # each side's parts follow one another and shrink as fewer units are left
    claims = parts._Claims(units, processes)
    taken = {True: [], False: []}
    first = None
    for front in [*sides, *[True] * units]:
        part = claims.front() if front else claims.back()
        if part is None:
            break
        first = first or part
        taken[front].append(part)
    front, back = taken[True], taken[False]
    covered = [k for part in [*front, *reversed(back)] for k in part]
    assert covered == list(range(units)) and claims.front() is claims.back() is None
    for side in (front, back):
        sizes = [len(part) for part in side]
        assert sizes == sorted(sizes, reverse=True) and all(sizes)
    assert len(first) == -(-units // (2 * processes))


@given(lines=st.lists(st.integers(0, 30), min_size=2, max_size=40), at_once=st.integers(1, 200))
def test_the_units_first_lines_are_counted_a_stretch_at_a_time(tmp_path_factory, lines, at_once):
    # each unit holds lines of the given lengths: however the counting calls group the units,
    # each unit's first line is the one after the lines before it
    data = b"".join(b"x" * n + b"\n" for n in lines)
    path = tmp_path_factory.mktemp("units") / "tasks"
    path.write_bytes(data)
    cuts = [0]
    for n in lines:
        cuts.append(cuts[-1] + n + 1)
    job = SimpleNamespace(path=str(path), cuts=cuts, where="'tasks'")
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(parts, "_COUNT_CALL", at_once)
        assert parts._first_lines(job, lambda: False) == list(range(1, len(lines) + 1))
        calls = []
        # stopped after the first call: a run that ends waits for no more of the count
        assert parts._first_lines(job, lambda: calls.append(1) or len(calls) > 1) in (
            None, list(range(1, len(lines) + 1)))
        assert len(calls) <= 2


def test_what_is_cut_and_what_is_not(tmp_path, cut):
    path = tmp_path / "tasks.jsonl"
    path.write_text("heading, not a task\n" + "".join(json.dumps({"description": f"compare and contrast {i}", "id": i,
                                                                   "input_tokens": i}) + "\n" for i in range(3000)))
    with open(path, "rb") as stream:  # read from where it stands, in three parts; left where one process leaves it
        stream.readline()
        expected = evaluate(TaskReader(stream, **options(fmt="jsonl")), routing())
        stream.seek(len("heading, not a task\n"))
        assert evaluate_in_parts(stream, routing(), jobs=3, fmt="jsonl") == expected
        assert stream.read() == b"" and cut == [(3 * parts.UNITS_A_PROCESS, 3)]
    assert in_parts(path, routing(), 2, buffered_out=True, skip_bad=True) == one_process(path, routing(),
                                                                                          skip_bad=True)
    for name, data, kwargs in (("tasks.csv", "description\n" + "task\n" * 500, {}),
                               ("tasks.json", json.dumps([{"description": "task"}] * 500), {}),
                               ("tasks.txt.gz", gzip.compress(b"task\n" * 500), {}),
                               ("tasks.txt", "task\n" * 500, {"jobs": 1}),
                               ("tasks.txt", "task\n" * 500, {"min_part": 10**6})):
        (tmp_path / name).write_bytes(data if isinstance(data, bytes) else data.encode())
        with open(tmp_path / name, "rb") as stream:
            report = evaluate_in_parts(stream, routing(), **{"jobs": 2, "min_part": 1, **kwargs}, name=name)
        assert report.summary.tasks == 500, name
    assert cut == [(3 * parts.UNITS_A_PROCESS, 3), (2 * parts.UNITS_A_PROCESS, 2)]
    size = (tmp_path / "tasks.txt").stat().st_size  # no more processes than parts of min_part bytes
    with open(tmp_path / "tasks.txt", "rb") as stream:
        assert evaluate_in_parts(stream, routing(), jobs=8, min_part=size // 3, name="tasks.txt").summary.tasks == 500
    assert cut[-1][1] == 3


def test_processes_that_cannot_be_started_leave_the_file_to_this_process(tmp_path, monkeypatch):
    path = tmp_path / "tasks.txt"
    path.write_text("".join(f"write a report on topic {i}\n" for i in range(1000)))

    class NoProcesses(parts.ProcessPoolExecutor):
        def submit(self, *args, **kwargs):
            raise BlockingIOError(11, "Resource temporarily unavailable")
    monkeypatch.setattr(parts, "ProcessPoolExecutor", NoProcesses)
    assert in_parts(path, routing(), 2) == one_process(path, routing())


def test_the_first_problem_of_the_file_is_the_one_reported(tmp_path):
    lines = [json.dumps({"description": f"task {i}"}) for i in range(900)]
    lines[500] = "not json"
    lines[800] = "{"
    lines[850] = json.dumps({"description": "big", "input_tokens": 10**400, "output_tokens": 1})
    path = tmp_path / "tasks.jsonl"
    path.write_text("\n".join(lines))
    expected = one_process(path, routing())
    assert expected[0][1].startswith("'tasks', line 501: not JSON")
    assert in_parts(path, routing(), 3)[0] == expected[0]
    lines[500] = lines[800] = "{}"  # an error of the evaluation itself, in a later part, pickled back
    path.write_text("\n".join(lines))
    assert in_parts(path, routing(), 3)[0] == one_process(path, routing())[0]
    assert one_process(path, routing(), skip_bad=True)[0][0] is OverflowError


def _descendants(pid):
    """The processes below ``pid`` (the pool's fork server, its processes): {pid: its parent}."""
    found, pids = {}, [pid]
    while pids:
        current = pids.pop()
        below = []
        try:
            for task in os.listdir(f"/proc/{current}/task"):  # a child is listed under the thread that made it
                with open(f"/proc/{current}/task/{task}/children") as children:
                    below += map(int, children.read().split())
        except OSError:
            continue
        found.update(dict.fromkeys(below, current))
        pids += below
    return found


def _pool_processes(expected, within=20):
    """The pool's processes (the fork server's children), once ``expected`` of them are up."""
    deadline = time.monotonic() + within
    while True:
        found = [pid for pid, parent in _descendants(os.getpid()).items() if parent != os.getpid()]
        if len(found) >= expected or time.monotonic() > deadline:
            return found
        time.sleep(0.02)


def _gone(pid):
    """Whether process ``pid`` has ended (a zombie nobody reaps has ended too)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def _all_gone(pids, within=10):
    deadline = time.monotonic() + within
    while not all(map(_gone, pids)) and time.monotonic() < deadline:
        time.sleep(0.05)
    return all(map(_gone, pids))


def test_a_process_that_dies_fails_the_run_and_its_lines_are_left_out(tmp_path):
    # The pool's process takes the last part first, writes the lines of its first tasks, then
    # dies asking about the key of the model the last task requests; this process's own
    # parts come first in the file, and only their lines may be written.
    path = tmp_path / "tasks.jsonl"
    tasks = [json.dumps({"description": f"write a report on topic {i}", "id": i}) for i in range(40_000)]
    tasks[-1] = json.dumps({"description": "x", "model": "gpt-5.2", "id": len(tasks) - 1})
    path.write_text("\n".join(tasks) + "\n")
    with tempfile.TemporaryFile(buffering=0) as out, open(path, "rb") as stream:
        with pytest.raises(parts.PartFailed, match=r"^a process evaluating a part of 'tasks' ended without "
                                                   r"finishing \(killed, or out of memory\)$"):
            evaluate_in_parts(stream, routing(Store(doom="openai")), out=out, jobs=2)
        out.seek(0)
        written = [json.loads(line)["line"] for line in out.read().splitlines()]
    assert written == list(range(1, len(written) + 1)) and len(written) < len(tasks) - 1000


def test_the_command_line_says_a_part_failed_in_one_line(monkeypatch, capsys):
    def failing(*args, **kwargs):
        raise parts.PartFailed("a process evaluating a part of 't' ended without finishing (killed)")
    monkeypatch.setattr("halvec.cli.evaluate.run_evaluation", failing)
    assert cli.main(["eval", __file__, "--format", "text"]) == 71
    assert capsys.readouterr().err == ("halvec eval: error: a process evaluating a part of 't' ended without "
                                       "finishing (killed)\n")


def test_an_interruption_ends_every_process_at_once(tmp_path):
    path = tmp_path / "tasks.txt"
    path.write_text("".join(f"write a report on topic {i}\n" for i in range(3000)))
    workers = []

    def interrupt(reading):
        workers.extend(_pool_processes(2))
        raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):  # three processes: this one and two of the pool
        in_parts(path, routing(Store(doom="anthropic", how="sleep")), 3, progress=interrupt)
    assert len(workers) == 2 and _all_gone(workers, within=2)


_PARENT_KILLED = """
import os, signal, sys
sys.path[:0] = [{tests!r}]
from test_parallel import Store, _descendants, _pool_processes, evaluate_in_parts, routing

def killed(reading):
    _pool_processes(2)
    print(*_descendants(os.getpid()), flush=True)
    os.kill(os.getpid(), signal.SIGKILL)  # the parent dies before it ends its processes

with open({path!r}, "rb") as stream:
    evaluate_in_parts(stream, routing(Store(doom="anthropic", how="sleep")), jobs=3, progress=killed)
"""


def test_processes_end_when_the_parent_is_killed(tmp_path):
    path = tmp_path / "tasks.txt"
    path.write_text("".join(f"write a report on topic {i}\n" for i in range(1000)))
    script = _PARENT_KILLED.format(tests=os.path.dirname(__file__), path=str(path))
    pids = tmp_path / "pids"
    with open(pids, "wb") as listed:  # a file, not a pipe: the processes hold it open
        result = subprocess.run([sys.executable, "-c", script], stdout=listed, timeout=60)
    assert result.returncode == -signal.SIGKILL
    left = [int(pid) for pid in pids.read_text().split()]
    assert len(left) >= 3  # the fork server, its two processes (and the resource tracker)
    try:
        assert _all_gone(left)
    finally:
        for pid in left:
            if not _gone(pid):
                os.kill(pid, signal.SIGKILL)


def test_a_count_that_fails_fails_the_run_with_its_own_error(tmp_path, monkeypatch):
    path = tmp_path / "tasks.txt"
    path.write_text("".join(f"write a report on topic {i}\n" for i in range(2000)))
    monkeypatch.setattr(parts, "_run", partial(parts._run, pool=Here()))
    unreadable = pytest.raises(InputProblem, match="^'tasks': cannot be read: Input/output error$")
    for error, raised in ((OSError(5, "Input/output error"), unreadable), (MemoryError(), pytest.raises(MemoryError))):
        def failing(file, cuts, error=error):
            raise error
        monkeypatch.setattr(parts._workload, "count_lines_in", failing)
        with open(path, "rb") as stream, raised:
            evaluate_in_parts(stream, routing(), jobs=2)


def test_a_long_stretch_without_a_line_break_is_searched_once_for_the_cuts(tmp_path, monkeypatch):
    path = tmp_path / "tasks.txt"
    path.write_bytes(b"".join(b"write a report on topic %d\n" % i for i in range(100)) + b"x" * (1 << 20))
    monkeypatch.setattr(parts, "_run", partial(parts._run, pool=Here()))
    searched = []
    line_start = parts._line_start

    def recorded(fd, at, end):
        searched.append(end - at)
        return line_start(fd, at, end)
    monkeypatch.setattr(parts, "_line_start", recorded)
    assert in_parts(path, routing(), 2) == one_process(path, routing())
    assert sum(searched) < 2 * path.stat().st_size  # not once for each unit it holds


def test_the_count_in_calls_of_a_few_units_numbers_the_lines_and_stops_with_the_run(tmp_path, monkeypatch):
    path = tmp_path / "tasks.jsonl"
    lines = [b'{"description": "write a report"}'] * 50_000
    monkeypatch.setattr(parts, "_run", partial(parts._run, pool=Here()))
    monkeypatch.setattr(parts, "_COUNT_CALL", 40_000)  # a call for every unit or two
    for bad in (49_000, 30_000, 0):
        path.write_bytes(b"\n".join([*lines[:bad], b"{", *lines[bad:]]))
        assert in_parts(path, routing(), 2)[0] == one_process(path, routing())[0]
    count = parts._workload.count_lines_in

    def slow(file, cuts):  # as a count of a file that is not in memory: 4 s for the whole file
        time.sleep(4 * (cuts[-1] - cuts[0]) / path.stat().st_size)
        return count(file, cuts)
    monkeypatch.setattr(parts._workload, "count_lines_in", slow)
    began = time.monotonic()  # the first line is bad: the run ends once the call under way does
    failed = in_parts(path, routing(), 2)[0]
    assert time.monotonic() - began < 2 and failed == one_process(path, routing())[0]
