"""Every file a command reads whole (a description's too), and every line of an outcome file, has
a cap: /dev/zero, an endless FIFO or a gzip file holding one huge line ends in one line naming
the file, exit 2, having read no more than the cap. The caps are lowered here (they are read at each use), so no
test holds more than a few megabytes."""

import gzip
import importlib.util
import json
import os
import threading

import pytest

from conftest import run_main
from halvec import reading
from halvec.fitted import RouterFileError, load_router

STRONG, WEAK = "big", "small"


@pytest.fixture
def small_caps(monkeypatch):
    for cap in (reading.ROUTER_FILE, reading.OPTION_FILE, reading.OUTCOME_LINE, reading.DESCRIPTION):
        monkeypatch.setattr(cap, "bytes", 1 << 20)


@pytest.fixture
def endless_fifo(tmp_path):
    """A FIFO whose writer never ends (until the reader closes it)."""
    path = tmp_path / "endless"
    os.mkfifo(path)

    def write():
        try:
            with open(path, "wb") as fifo:
                while True:
                    fifo.write(b'{"a": "' + b"x" * 65536)
        except OSError:  # the reader closed it
            pass

    thread = threading.Thread(target=write, daemon=True)
    thread.start()
    yield str(path)
    thread.join(timeout=10)


def test_the_caps_are_documented_sizes():
    assert (reading.ROUTER_FILE.bytes, reading.OPTION_FILE.bytes, reading.OUTCOME_LINE.bytes,
            reading.DESCRIPTION.bytes) == (64 << 20, 8 << 20, 64 << 20, 64 << 20)
    assert reading.ROUTER_FILE.problem() == ("larger than 67,108,864 bytes (64 MiB), the most a router file may "
                                              "have")


def test_a_file_at_its_cap_is_read_and_one_byte_more_is_refused(tmp_path, monkeypatch):
    monkeypatch.setattr(reading.OPTION_FILE, "bytes", 10)
    path = tmp_path / "f"
    path.write_bytes(b"0123456789")
    assert reading.read_file(str(path), reading.OPTION_FILE) == b"0123456789"
    path.write_bytes(b"0123456789a")
    with pytest.raises(reading.TooLarge):
        reading.read_file(str(path), reading.OPTION_FILE)


@pytest.mark.parametrize("block_size", [1, 3, 1 << 20])
def test_lines_at_their_cap_are_read_and_a_longer_one_is_found_before_its_end(tmp_path, block_size):
    path = tmp_path / "lines"
    path.write_bytes(b"abcd\n\nab\r\nabcd")
    with open(path, "rb") as file:
        lines = reading.Lines(file, "'lines'", max_line=4, block_size=block_size)
        lines.open()
        assert list(lines.numbered()) == [(1, b"abcd"), (2, b""), (3, b"ab\r"), (4, b"abcd")]
    path.write_bytes(b"abcd\nabcde\nabc\n" + b"x" * 100)
    with open(path, "rb") as file:
        lines = reading.Lines(file, "'lines'", max_line=4, block_size=block_size)
        lines.open()
        found = list(lines.numbered())
    assert found == [(1, b"abcd"), (2, reading.TOO_LONG_LINE), (3, b"abc"), (4, reading.TOO_LONG_LINE)]


def test_a_line_without_end_is_too_long_once_its_cap_is_read(endless_fifo):
    with open(endless_fifo, "rb") as fifo:
        lines = reading.Lines(fifo, "'endless'", max_line=1 << 20)
        lines.open()
        assert next(lines.numbered()) == (1, reading.TOO_LONG_LINE)
        assert lines.bytes_read <= 3 << 20


@pytest.mark.parametrize("source", ["/dev/zero", "fifo"])
def test_load_router_stops_at_its_cap(small_caps, source, request):
    path = request.getfixturevalue("endless_fifo") if source == "fifo" else source
    if not os.path.exists(path):
        pytest.skip("no /dev/zero")
    with pytest.raises(RouterFileError) as caught:
        load_router(path)
    assert str(caught.value) == f"{path!r}: larger than 1,048,576 bytes (1 MiB), the most a router file may have"


@pytest.mark.parametrize("option", ["--router", "--prices", "--config", "--patterns"])
def test_an_endless_option_file_is_one_line(tmp_path, small_caps, option):
    tasks = tmp_path / "t.jsonl"
    tasks.write_text('{"description": "hi"}\n')
    result = run_main(["eval", str(tasks), option, "/dev/zero"])
    assert (result.returncode, result.stdout) == (2, "")
    (line,) = result.stderr.splitlines()
    assert f"{option} '/dev/zero'" in line and "larger than 1,048,576 bytes (1 MiB), the most a" in line


@pytest.mark.parametrize("command", ["classify", "route"])
def test_an_endless_description_is_one_line(small_caps, endless_fifo, command):
    for args, where in [(["--file", "/dev/zero"], "--file '/dev/zero'"), (["--file", endless_fifo],
                                                                           f"--file {endless_fifo!r}")]:
        result = run_main([command, *args])
        assert (result.returncode, result.stdout) == (2, "")
        assert result.stderr == (f"python -m halvec {command}: error: {where}: larger than 1,048,576 bytes (1 MiB), "
                                 f"the most a description may have\n")
    result = run_main([command, "-"], input=b"x" * ((1 << 20) + 1))
    assert result.returncode == 2 and result.stderr.endswith(": error: standard input: larger than 1,048,576 "
                                                             "bytes (1 MiB), the most a description may have\n")
    keys = ["--keys", "anthropic"] if command == "route" else []
    assert run_main([command, "-", *keys], input=b"x" * (1 << 20)).returncode == 0  # at the cap


def _bench(*files):
    return run_main(["bench", *files, "--strong", STRONG, "--weak", WEAK, "--resamples", "5"])


def _fit(*files, output):
    return run_main(["fit", *files, "--strong", STRONG, "--weak", WEAK, "-o", output])


def test_an_endless_outcome_line_is_one_line(tmp_path, small_caps, endless_fifo):
    fits = [_fit("/dev/zero", output=str(tmp_path / "r.json"))] if importlib.util.find_spec("sklearn") else []
    for result in (_bench("/dev/zero"), _bench(endless_fifo), *fits):
        assert (result.returncode, result.stdout) == (2, "")
        (line,) = result.stderr.splitlines()
        assert ", line 1: larger than 1,048,576 bytes (1 MiB), the most a line may have" in line, line
    assert not (tmp_path / "r.json").exists()


def test_a_small_gzip_file_holding_a_huge_line_is_one_line(tmp_path, small_caps):
    good = json.dumps({"prompt": "fine", "scores": {STRONG: 1, WEAK: 0}}) + "\n"
    huge = json.dumps({"prompt": "x" * (3 << 20), "scores": {STRONG: 1, WEAK: 0}}) + "\n"
    path = tmp_path / "o.jsonl.gz"
    path.write_bytes(gzip.compress((good * 3 + huge).encode()))
    assert path.stat().st_size < 100_000
    result = _bench(str(path))
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.splitlines() == [f"python -m halvec bench: error: {str(path)!r}, line 4: larger than "
                                          f"1,048,576 bytes (1 MiB), the most a line may have"]
    # a line just under the cap is read
    path.write_bytes(gzip.compress((good * 3 + json.dumps({"prompt": "x" * ((1 << 20) - 100), "scores": {
        STRONG: 1, WEAK: 0}}) + "\n").encode()))
    assert _bench(str(path)).returncode == 0
