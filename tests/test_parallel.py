"""A file evaluated in parts by forked processes gives what one process gives: the same
report, the same per-task lines in the same order, the same first bad line, the same
errors. Parts are forced small here (min_part=1) so that small files are cut."""

import errno
import io
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from halvec import parallel
from halvec.config import SecretsStore
from halvec.core import model_router as mr
from halvec.evaluation import Settings, evaluate
from halvec.workload import InputProblem, TaskReader

KEYS = list(mr.AVAILABLE_MODELS)
WORDS = ["research", "write", "report", "list", "fetch", "compare", "and", "contrast", "item", "the",
         "é", "🚀", "İ", "\t"]


def routing(**kwargs):
    secrets = SecretsStore()
    secrets.set_key("anthropic", "test")
    return Settings(config=mr.ModelRoutingConfig(), store=secrets, **kwargs)


def options(**kwargs):
    return {"where": "'tasks'", "name": "tasks", "models": KEYS, **kwargs}


def one_process(path, routes, **kwargs):
    """(report or the error, per-task lines) as a single process reads the file."""
    out = io.BytesIO()
    with open(path, "rb") as stream:
        try:
            report = evaluate(TaskReader(stream, **options(**kwargs)), routes, out=out)
        except (InputProblem, OverflowError) as error:
            report = (type(error), str(error))
    return report, out.getvalue()


def in_parts(path, routes, jobs, *, buffered_out=False, **kwargs):
    with tempfile.TemporaryFile(buffering=-1 if buffered_out else 0) as out, open(path, "rb") as stream:
        try:
            report = parallel.evaluate_in_parts(stream, routes, out=out, jobs=jobs, min_part=1, **options(**kwargs))
        except (InputProblem, OverflowError) as error:
            report = (type(error), str(error))
        out.flush()
        out.seek(0)
        return report, out.read()


@pytest.fixture(autouse=True)
def forks(monkeypatch):
    """Counts the forks, so that a test knows the file was cut."""
    assert parallel._can_fork(), "a thread is running: the evaluation would not fork"
    made = []
    fork = os.fork

    def counted():
        pid = fork()
        if pid:
            made.append(pid)
        return pid
    monkeypatch.setattr(os, "fork", counted)
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
                      st.sampled_from([b"", b" ", b"\xff\xfe bytes", b"\xef\xbb\xbfmid-file mark"]))


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(fmt=st.sampled_from(["jsonl", "text"]), data=st.data(), jobs=st.integers(2, 4), bom=st.booleans(),
       crlf=st.booleans(), last_break=st.booleans(), skip_bad=st.booleans(),
       errors=st.sampled_from(["strict", "replace"]))
def test_parts_give_what_one_process_gives(tmp_path, forks, fmt, data, jobs, bom, crlf, last_break, skip_bad,
                                           errors):
    lines = data.draw(st.lists(jsonl_line if fmt == "jsonl" else text_line, min_size=1, max_size=60))
    body = (b"\r\n" if crlf else b"\n").join(lines) + (b"\n" if last_break else b"")
    path = tmp_path / "tasks"
    path.write_bytes((b"\xef\xbb\xbf" if bom else b"") + body)
    kwargs = {"fmt": fmt, "skip_bad": skip_bad, "encoding_errors": errors}
    expected, expected_lines = one_process(path, routing(input_tokens=100), **kwargs)
    report, lines_out = in_parts(path, routing(input_tokens=100), jobs, **kwargs)
    assert report == expected
    if isinstance(expected, tuple):  # stopped at a bad line: what was written is from before it
        bad = int(expected[1].split(", line ")[1].split(":")[0])
        assert all(json.loads(line)["line"] < bad for line in lines_out.splitlines())
    else:
        assert lines_out == expected_lines


def test_the_file_is_cut_at_line_breaks_into_parts_of_a_size(tmp_path, forks):
    path = tmp_path / "tasks.jsonl"
    path.write_text("".join(json.dumps({"description": f"task {i} " + "word " * (i % 50)}) + "\n"
                            for i in range(3000)))
    for jobs in (2, 3):
        forks.clear()
        assert in_parts(path, routing(), jobs) == one_process(path, routing())
        assert len(forks) == jobs - 1
    with open(path, "rb") as stream:  # parts of at least min_part bytes: too few for two
        parallel.evaluate_in_parts(stream, routing(), jobs=2, min_part=path.stat().st_size, **options())
    assert len(forks) == 2


def test_what_is_not_cut_is_read_by_this_process(tmp_path, forks):
    csv_path = tmp_path / "tasks.csv"
    csv_path.write_text("description\n" + "".join(f"task {i}\n" for i in range(500)))
    text_path = tmp_path / "tasks.txt"
    text_path.write_text("".join(f"task {i}\n" for i in range(500)))
    with open(csv_path, "rb") as stream:
        report = parallel.evaluate_in_parts(stream, routing(), jobs=2, min_part=1, **options(name="tasks.csv"))
    assert report.summary.tasks == 500
    read_end, write_end = os.pipe()
    os.write(write_end, text_path.read_bytes())
    os.close(write_end)
    with open(read_end, "rb") as pipe:
        report = parallel.evaluate_in_parts(pipe, routing(), jobs=2, min_part=1, **options())
    assert report.summary.tasks == 500
    with open(text_path, "rb") as stream:
        report = parallel.evaluate_in_parts(stream, routing(), jobs=1, min_part=1, **options())
    assert report.summary.tasks == 500
    assert forks == []


def test_a_stream_is_read_from_where_it_stands(tmp_path):
    path = tmp_path / "tasks.txt"
    path.write_text("heading, not a task\n" + "".join(f"write a report on topic {i}\n" for i in range(400)))
    reports = []
    for jobs in (1, 3):
        with open(path, "rb") as stream:
            stream.readline()
            reports.append(parallel.evaluate_in_parts(stream, routing(), jobs=jobs, min_part=1, **options()))
    assert reports[0] == reports[1]
    assert reports[0].summary.tasks == 400


def test_the_first_bad_line_of_the_file_is_the_one_reported(tmp_path):
    lines = [json.dumps({"description": f"task {i}"}) for i in range(900)]
    lines[500] = "not json"
    lines[800] = "{"
    path = tmp_path / "tasks.jsonl"
    path.write_text("\n".join(lines))
    expected = one_process(path, routing())
    assert expected[0][1].startswith("'tasks', line 501: not JSON")
    assert in_parts(path, routing(), 3)[0] == expected[0]
    lines[100] = "[]"
    path.write_text("\n".join(lines))
    assert in_parts(path, routing(), 3)[0][1].startswith("'tasks', line 101: not a JSON object")


def test_per_task_lines_through_a_buffered_file_and_a_file(tmp_path):
    path = tmp_path / "tasks.jsonl"
    path.write_text("".join(json.dumps({"description": f"compare and contrast {i}", "id": i, "input_tokens": i,
                                        "output_tokens": 2 * i}) + "\n" for i in range(2000)))
    expected = one_process(path, routing())
    assert in_parts(path, routing(), 3, buffered_out=True) == expected
    assert in_parts(path, routing(), 3) == expected
    assert [json.loads(line)["id"] for line in expected[1].splitlines()] == list(range(2000))


def test_an_error_in_a_later_part_reaches_the_caller(tmp_path):
    path = tmp_path / "tasks.jsonl"
    lines = [json.dumps({"description": f"task {i}"}) for i in range(1000)]
    lines[900] = json.dumps({"description": "big", "input_tokens": 10**400, "output_tokens": 1})
    path.write_text("\n".join(lines))
    expected = one_process(path, routing())
    assert expected[0][0] is OverflowError
    assert in_parts(path, routing(), 2)[0] == expected[0]


def _in_child(action):
    """evaluate_part that runs ``action`` in a forked child and evaluates as usual in the parent."""
    parent = os.getpid()
    real = parallel.evaluate_part

    def evaluate_part(reader, routes, **kwargs):
        if os.getpid() != parent:
            action()
        return real(reader, routes, **kwargs)
    return evaluate_part


class Unpicklable(Exception):
    def __reduce__(self):
        raise TypeError("not this one")


def _raise(error):
    def action():
        raise error
    return action


@pytest.mark.parametrize("action, expected", [
    (lambda: os.kill(os.getpid(), signal.SIGKILL), "ended without a result (ended by SIGKILL)"),
    (_raise(LookupError("lost")), "lost"),
    (_raise(Unpicklable("odd")), "Unpicklable: odd"),
])
def test_a_child_that_fails_fails_the_run(tmp_path, monkeypatch, forks, action, expected):
    path = tmp_path / "tasks.txt"
    path.write_text("".join(f"task {i}\n" for i in range(600)))
    monkeypatch.setattr(parallel, "evaluate_part", _in_child(action))
    with open(path, "rb") as stream, pytest.raises(Exception) as caught:
        parallel.evaluate_in_parts(stream, routing(), jobs=3, min_part=1, **options())
    assert expected in str(caught.value)
    for pid in forks:  # every child reaped, none left running
        with pytest.raises(ChildProcessError):
            os.waitpid(pid, os.WNOHANG)


def test_progress_counts_every_part(tmp_path):
    path = tmp_path / "tasks.txt"
    path.write_text("".join(f"task {i}\n" for i in range(5000)))
    seen = []
    with open(path, "rb") as stream:
        parallel.evaluate_in_parts(stream, routing(), jobs=2, min_part=1, progress=lambda r: seen.append(
            (r.tasks, r.fraction_read)), **options())
    assert seen
    assert all(0 <= tasks <= 5000 and 0 <= fraction <= 1 for tasks, fraction in seen)


def test_an_interruption_just_after_a_fork_stops_every_child(tmp_path, monkeypatch):
    path = tmp_path / "tasks.txt"
    path.write_text("".join(f"task {i}\n" for i in range(3000)))
    made = []
    fork = os.fork

    def interrupted():
        pid = fork()
        if pid:
            made.append(pid)
            signal.raise_signal(signal.SIGINT)  # as a Ctrl-C then, or one taken by an at-fork hook
        return pid
    monkeypatch.setattr(os, "fork", interrupted)
    with open(path, "rb") as stream, pytest.raises(KeyboardInterrupt):
        parallel.evaluate_in_parts(stream, routing(), jobs=3, min_part=1, **options())
    assert made
    for pid in made:  # reaped: none left running, nor a zombie
        with pytest.raises(ChildProcessError):
            os.waitpid(pid, os.WNOHANG)


def test_a_program_that_ignores_sigchld_gets_its_report(tmp_path, monkeypatch, forks):
    path = tmp_path / "tasks.txt"
    path.write_text("".join(f"write a report on topic {i}\n" for i in range(3000)))
    expected = one_process(path, routing())
    previous = signal.signal(signal.SIGCHLD, signal.SIG_IGN)  # children are reaped by the kernel
    try:
        assert in_parts(path, routing(), 3) == expected
        monkeypatch.setattr(parallel, "evaluate_part", _in_child(_raise(LookupError("lost"))))
        with open(path, "rb") as stream, pytest.raises(LookupError, match="lost"):
            parallel.evaluate_in_parts(stream, routing(), jobs=3, min_part=1, **options())
    finally:
        signal.signal(signal.SIGCHLD, previous)
    assert len(forks) == 4


def test_the_stream_is_left_where_one_process_leaves_it(tmp_path):
    path = tmp_path / "tasks.txt"
    path.write_text("".join(f"task {i}\n" for i in range(1000)))
    for jobs in (1, 3):
        with open(path, "rb") as stream:
            parallel.evaluate_in_parts(stream, routing(), jobs=jobs, min_part=1, **options())
            assert stream.tell() == path.stat().st_size
            assert stream.read() == b""


@pytest.mark.parametrize("failing", ["fork", "pipe"])
def test_a_process_that_cannot_be_made_leaves_the_file_to_this_process(tmp_path, monkeypatch, failing):
    path = tmp_path / "tasks.jsonl"
    path.write_text("".join(json.dumps({"description": f"compare and contrast {i}", "id": i}) + "\n"
                            for i in range(2000)))
    expected = one_process(path, routing())
    made = []
    real = getattr(os, failing)

    def second_fails():  # the first child is made, the second is not
        if len(made) == 1:
            raise BlockingIOError(errno.EAGAIN, "Resource temporarily unavailable")
        result = real()
        if failing == "pipe" or result:
            made.append(result)
        return result
    monkeypatch.setattr(os, failing, second_fails)
    files = len(os.listdir("/proc/self/fd"))
    assert in_parts(path, routing(), 3) == expected
    assert len(os.listdir("/proc/self/fd")) == files
    if failing == "fork":
        with pytest.raises(ChildProcessError):
            os.waitpid(made[0], os.WNOHANG)


def _gone(pid):
    """Whether process ``pid`` has ended (a zombie nobody reaps has ended too)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


_PARENT_KILLED = """
import os, signal, sys, time
sys.path[:0] = [{tests!r}]
from test_parallel import options, routing
from halvec import parallel

parent = os.getpid()
real = parallel.evaluate_part
fork = os.fork

def evaluate_part(reader, routes, *, out=None, progress=None):
    if os.getpid() != parent:
        while True:  # a part that takes long
            progress(reader)
            time.sleep(0.01)
    os.kill(parent, signal.SIGKILL)  # the parent dies before it stops its children

def counted():
    pid = fork()
    if pid:
        print(pid, flush=True)
    return pid

parallel.evaluate_part = evaluate_part
os.fork = counted
with open({path!r}, "rb") as stream:
    parallel.evaluate_in_parts(stream, routing(), jobs=3, min_part=1, **options())
"""


def test_children_end_when_the_parent_is_killed(tmp_path):
    path = tmp_path / "tasks.txt"
    path.write_text("".join(f"task {i}\n" for i in range(1000)))
    script = _PARENT_KILLED.format(tests=os.path.dirname(__file__), path=str(path))
    pids = tmp_path / "pids"
    with open(pids, "wb") as listed:  # a file, not a pipe: the children hold it open
        result = subprocess.run([sys.executable, "-c", script], stdout=listed, timeout=60)
    assert result.returncode == -signal.SIGKILL
    children = [int(pid) for pid in pids.read_text().split()]
    assert len(children) == 2
    deadline = time.monotonic() + 20
    try:
        while not all(map(_gone, children)) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert all(map(_gone, children))
    finally:
        for pid in children:
            if not _gone(pid):
                os.kill(pid, signal.SIGKILL)
