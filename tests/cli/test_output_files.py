"""Output files: an input is never overwritten, whatever name the output gives it, and a
file is replaced only by a whole run's output."""

import os
import signal
import stat
import subprocess
import sys

import pytest

from halvec.cli.options import InputError
from halvec.cli.output import OutputError
from halvec.cli.output_files import Terminated, output_file


@pytest.fixture
def inputs(tmp_path):
    tasks = tmp_path / "tasks.jsonl"
    tasks.write_bytes(b'{"description": "a"}\n')
    patterns = tmp_path / "p.json"
    patterns.write_bytes(b'{"complex": []}')
    (tmp_path / "link").symlink_to(tasks)
    os.link(tasks, tmp_path / "hard")
    return tasks, patterns


@pytest.mark.parametrize("name", ["tasks.jsonl", "link", "hard", "p.json", "/dev/fd/{fd}", "/dev/stdin"])
def test_an_output_that_is_an_input_is_refused_before_anything_is_written(tmp_path, inputs, name):
    tasks, patterns = inputs
    with open(tasks, "rb") as stream:
        path = name.format(fd=stream.fileno()) if name.startswith("/") else str(tmp_path / name)
        if name == "/dev/stdin":
            saved = os.dup(0)
            os.dup2(stream.fileno(), 0)
        try:
            with pytest.raises(InputError, match=r"is the same file as (the input|--patterns|standard input)"):
                with output_file(path, inputs=[("the input", stream), ("--patterns", str(patterns)), 0]):
                    pass
        finally:
            if name == "/dev/stdin":
                os.dup2(saved, 0)
                os.close(saved)
    assert tasks.read_bytes() == b'{"description": "a"}\n' and patterns.read_bytes() == b'{"complex": []}'
    assert sorted(os.listdir(tmp_path)) == ["hard", "link", "p.json", "tasks.jsonl"]


def test_a_file_is_replaced_only_by_a_whole_run(tmp_path):
    out = tmp_path / "out.jsonl"
    out.write_bytes(b"earlier\n")
    out.chmod(0o640)
    (tmp_path / "link").symlink_to(out)
    for failure in (ValueError("bad line"), KeyboardInterrupt(), None):
        with pytest.raises(type(failure) if failure else Terminated) as caught:
            with output_file(str(tmp_path / "link")) as file:
                file.write(b"half\n")
                if failure is None:
                    os.kill(os.getpid(), signal.SIGTERM)  # raised here, in the main thread
                raise failure
        assert caught.value.__notes__ == ["--out '%s' was not written: the earlier file is as it was"
                                          % (tmp_path / "link")]
        assert out.read_bytes() == b"earlier\n" and sorted(os.listdir(tmp_path)) == ["link", "out.jsonl"]
    assert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL
    with output_file(str(tmp_path / "link")) as file:
        file.write(b"whole\n")
    assert out.read_bytes() == b"whole\n" and stat.S_IMODE(out.stat().st_mode) == 0o640
    assert (tmp_path / "link").is_symlink()
    with pytest.raises(OutputError, match=r"cannot write --out '.*missing/x': No such file or directory"):
        with output_file(str(tmp_path / "missing" / "x")):
            pass


def test_a_stream_is_written_as_it_goes(tmp_path):
    read_end, write_end = os.pipe()
    with pytest.raises(ValueError):
        with output_file(f"/dev/fd/{write_end}", report_on_stdout=False) as file:
            file.write(b"first\n")
            assert os.read(read_end, 100) == b"first\n"  # there already
            raise ValueError
    os.close(write_end)
    assert os.read(read_end, 100) == b""
    os.close(read_end)


def _halvec(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "halvec", *args], timeout=60, **kwargs)


def test_standard_output_is_never_the_output(tmp_path):
    tasks = tmp_path / "tasks.jsonl"
    tasks.write_bytes(b'{"description": "a"}\n' * 50)
    report = tmp_path / "report"
    with open(report, "wb") as stdout:  # the report would be written over the lines
        result = _halvec("eval", str(tasks), "--out", "/dev/stdout", stdout=stdout, stderr=subprocess.PIPE)
    assert result.returncode == 2 and report.read_bytes() == b""
    assert result.stderr.endswith(b"is standard output, where the report goes; write to a file\n")
    # standard output closed: the input is given descriptor 1, which /dev/stdout names
    result = subprocess.run(["sh", "-c", 'exec "$0" -m halvec eval "$1" --out /dev/stdout >&-', sys.executable,
                             str(tasks)], capture_output=True, timeout=60)
    assert result.returncode == 2 and b"is the same file as the input" in result.stderr
    assert tasks.read_bytes() == b'{"description": "a"}\n' * 50


def test_a_report_sent_into_an_input_is_refused(inputs):
    tasks, _ = inputs
    before = tasks.read_bytes()
    with open(tasks, "ab") as appended:  # halvec eval tasks.jsonl >> tasks.jsonl
        result = subprocess.run([sys.executable, "-m", "halvec", "eval", str(tasks)], stdout=appended,
                                stderr=subprocess.PIPE, timeout=120)
    assert result.returncode == 2 and tasks.read_bytes() == before
    assert b"standard output is the same file as the input" in result.stderr


ROUTER = ('{"format": "halvec fitted router", "version": 1, "name": "prove", "longest_ngram": 1, "intercept": 0.0, '
          '"cuts": {"moderate": 0.05, "complex": 0.5}, "counts": {"words": {"weight": 0.1, "mean": 2.0, "scale": 1.0}, '
          '"characters": {"weight": 0.0, "mean": 0.0, "scale": 1.0}}, "ngrams": [["prove", 1.0, 1.0]]}')


@pytest.mark.parametrize("command, read", [
    (["eval", "{tasks}", "--router", "{router}"], ["tasks", "router"]),
    (["eval", "{tasks}", "--patterns", "{patterns}"], ["tasks", "patterns"]),
    (["classify", "--file", "{tasks}", "--router", "{router}"], ["tasks", "router"]),
    (["route", "-", "--patterns", "{patterns}"], ["tasks", "patterns"]),  # the tasks on standard input
])
def test_no_file_a_command_reads_is_written_into(tmp_path, inputs, command, read):
    tasks, patterns = inputs
    router = tmp_path / "router.json"
    router.write_text(ROUTER)
    files = {"tasks": tasks, "router": router, "patterns": patterns}
    args = [arg.format(**files) for arg in command]
    before = {name: files[name].read_bytes() for name in read}
    for name in read:
        with open(files[name], "ab") as appended, open(tasks, "rb") as stdin:  # halvec ... >> FILE
            result = _halvec(*args, stdin=stdin, stdout=appended, stderr=subprocess.PIPE)
        assert result.returncode == 2, result.stderr
        assert result.stderr.startswith(b"python -m halvec %s: error: standard output is the same file as "
                                        % command[0].encode()) and len(result.stderr.splitlines()) == 1
        if command[0] == "eval":  # and --out FILE
            result = _halvec(*args, "--out", str(files[name]), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            assert result.returncode == 2 and b"is the same file as" in result.stderr
    assert {name: files[name].read_bytes() for name in read} == before


def test_a_report_that_cannot_be_written_leaves_the_earlier_out_file(tmp_path, inputs):
    tasks, _ = inputs
    out = tmp_path / "out.jsonl"
    out.write_bytes(b"earlier\n")
    read_end, write_end = os.pipe()
    os.close(read_end)  # halvec eval ... --out out.jsonl | a reader that has gone
    result = _halvec("eval", str(tasks), "--out", str(out), stdout=write_end, stderr=subprocess.PIPE)
    os.close(write_end)
    assert result.returncode == 141 and out.read_bytes() == b"earlier\n"
    result = subprocess.run(["sh", "-c", 'exec "$0" -m halvec eval "$1" --out "$2" >&-', sys.executable, str(tasks),
                             str(out)], capture_output=True, timeout=60)
    assert result.returncode == 74 and out.read_bytes() == b"earlier\n"
    assert result.stderr == (b"python -m halvec: error: cannot write to standard output: it is closed (--out '%s' "
                             b"was not written: the earlier file is as it was)\n" % str(out).encode())
    assert sorted(os.listdir(tmp_path)) == ["hard", "link", "out.jsonl", "p.json", "tasks.jsonl"]


def test_a_file_this_process_may_not_write_is_refused_not_renamed_over(tmp_path, monkeypatch):
    # (as root every file is writable, so what the permissions say is what os.access says)
    target = tmp_path / "kept.jsonl"
    target.write_text("the user's\n")
    target.chmod(0o444)
    real_access = os.access
    monkeypatch.setattr(os, "access", lambda path, mode, **kw: False if os.fspath(path) == str(target)
                        else real_access(path, mode, **kw))
    with pytest.raises(OutputError, match=r"cannot write --out '.*kept.jsonl': Permission denied"):
        with output_file(str(target)) as out:
            out.write(b"new\n")
    assert target.read_text() == "the user's\n" and sorted(p.name for p in tmp_path.iterdir()) == ["kept.jsonl"]
