"""The reading layer every file goes through: one problem type for every kind of file (said
the same way, sent whole between processes, a ValueError where it was one), the lines of a
source (gzip, byte-order mark, blank lines, what is not text, a read that fails) and small
files read whole; and the files a run's settings come from, refused by the library in terms
of the file, the command line adding its flag."""

import bz2
import gzip
import io
import json
import lzma
import pickle

import pytest

from halvec.evaluation import SettingsFileError, load_config, load_prices
from halvec.fitted import RouterFileError, load_router
from halvec.pattern_lists import PatternFileError
from halvec.quality.outcomes import OutcomeProblem, read_outcomes
from halvec.reading import BOM, OPTION_FILE, Lines, NotUtf8, SourceProblem, read_text_file
from halvec.workload import InputProblem

KINDS = [SourceProblem, InputProblem, OutcomeProblem, PatternFileError, RouterFileError, SettingsFileError]


@pytest.mark.parametrize("kind", KINDS)
def test_every_kind_of_problem_says_where_the_line_and_what_and_travels_whole(kind):
    assert str(kind("'f'", "bad", 3)) == "'f', line 3: bad"
    assert str(kind("'f'", "bad")) == "'f': bad"
    assert str(kind(None, "bad")) == "bad"
    problem = kind(None, "bad", 3).named("--prices 'f'")
    assert (type(problem), str(problem)) == (kind, "--prices 'f', line 3: bad")
    copy = pickle.loads(pickle.dumps(problem))  # a part's process sends it to its parent
    assert (type(copy), copy.where, copy.line, copy.problem, str(copy)) == (
        kind, problem.where, 3, "bad", str(problem))
    assert issubclass(kind, ValueError) == (kind in (PatternFileError, RouterFileError, SettingsFileError))


def _lines(data, **kwargs):
    lines = Lines(io.BytesIO(data), "'f'", max_line=kwargs.pop("max_line", 100), **kwargs)
    lines.open()
    return lines


def test_lines_come_decompressed_past_the_mark_and_the_blank_lines_numbered():
    for data in (b"\n \r\n" + b"a\nb\xff\n\nc", gzip.compress(BOM + b"\n \r\na\nb\xff\n\nc")):
        lines = _lines(data)
        assert (lines.leading_blank_lines, lines.compressed is not None) == (2, data[:2] == b"\x1f\x8b")
        assert list(lines.numbered()) == [(3, b"a"), (4, b"b\xff"), (5, b""), (6, b"c")]
        assert lines.last_line == 6
    replaced = _lines(b"a\xffb\nok\n\xfe\n", errors="replace")
    assert [line for _, block in replaced.blocks() for line in block] == ["a\ufffdb", "ok", "\ufffd"]
    assert (replaced.replaced_lines, replaced.first_replaced) == (2, 1)
    assert [line for _, block in _lines(b"a\xffb\n").blocks() for line in block] == [0xff]  # strict: the byte


def test_what_is_not_text_is_refused_by_the_readers_rule():
    kinds = {b"%PDF-1.7\n": "a PDF document", bz2.compress(b"x\n"): "bzip2-compressed; decompress it first",
             b"\xff\xfeh\x00i\x00": "UTF-16 text; save it as UTF-8", b"ab\x00cd": "it holds NUL bytes"}
    for data, kind in kinds.items():
        with pytest.raises(InputProblem, match=rf"^'f': not a text file \({kind}"):
            _lines(data, problem=InputProblem)
    assert list(_lines(b"BZh is how it starts\n").numbered()) == [(1, b"BZh is how it starts")]
    assert _lines(b"ab\x00cd", refuse=lambda start: None).first_block == b"ab\x00cd"


def test_a_read_that_fails_is_the_sources_problem():
    damaged = gzip.compress(b"a\n" * 100_000)
    damaged = damaged[:40] + b"\xff" * 200 + damaged[240:]
    with pytest.raises(InputProblem, match=r"^'f': cannot be read: its gzip data is damaged"):
        list(_lines(damaged, problem=InputProblem).numbered())
    truncated = gzip.compress(b"a\n" * 100)[:-12]
    with pytest.raises(SourceProblem, match=r"^'f': cannot be read: its gzip data is damaged"):
        list(_lines(truncated).numbered())


def test_an_outcome_file_is_read_through_the_same_lines(tmp_path):
    good = {"prompt": "p", "scores": {"big": 1, "small": 0}}
    cases = {
        "o.jsonl.xz": (lzma.compress(b"{}"), None,
                       "an xz-compressed file: decompress it first (gzip is read as it is)"),
        "o.jsonl": (b"\n\n" + json.dumps(good).encode() + b"\n\xff\n", 4, "not valid UTF-8 (byte 0xff)"),
        "o.csv": (b"\n \nprompt,small\n", 3, "unknown strong model 'big': the header's columns are 'small'"),
    }
    for name, (data, line, message) in cases.items():
        path = tmp_path / name
        path.write_bytes(data)
        with pytest.raises(OutcomeProblem) as caught:
            read_outcomes(str(path), strong="big", weak="small")
        assert (caught.value.where, caught.value.line) == (repr(str(path)), line), name
        assert caught.value.problem.startswith(message), (name, caught.value.problem)
    path = tmp_path / "o.jsonl.gz"  # cut short: the lines before the damage are read, and counted
    path.write_bytes(gzip.compress((json.dumps(good) + "\n").encode() * 100_000)[:-12])
    with pytest.raises(OutcomeProblem, match=r"^'.*': cannot be read after line (\d+): ") as caught:
        read_outcomes(str(path), strong="big", weak="small")
    assert 99_000 < int(caught.value.problem.split()[5].rstrip(":")) < 100_000


def test_a_small_file_is_text_without_its_mark_or_the_line_of_its_first_bad_byte(tmp_path):
    path = tmp_path / "f"
    path.write_bytes(BOM + "caf\u00e9\n".encode())
    assert read_text_file(str(path), OPTION_FILE) == "caf\u00e9\n"
    path.write_bytes(BOM + b"ok\nok\nbad \xe9\n")
    with pytest.raises(NotUtf8) as caught:
        read_text_file(str(path), OPTION_FILE)
    assert (caught.value.line, caught.value.offset, caught.value.byte, str(caught.value)) == (
        3, 10, 0xe9, "not valid UTF-8 (byte 0xe9)")


@pytest.mark.parametrize("load, content, message", [
    (load_prices, '{"models": {}, "asof": 1}', "unknown key 'asof' (choose from as_of, models); did you mean 'as_of'?"),
    (load_prices, '{\n"models": 3,\n',
     "line 3: not valid JSON: Expecting property name enclosed in double quotes (column 1)"),
    (load_config, '{"cost_conscious": "yes"}', "'cost_conscious' must be true or false"),
    (load_config, '{"enabled_models": ["claude-opus"],\n "enabled_models": []}',
     "line 2: the key 'enabled_models' is given twice (a JSON object's keys are given once)"),
    (load_config, b"{\xff}", "line 1: not valid UTF-8 (byte 0xff)"),
])
def test_settings_files_are_refused_in_terms_of_the_file(tmp_path, load, content, message):
    path = tmp_path / "settings.json"
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    with pytest.raises(SettingsFileError) as caught:
        load(str(path))
    assert str(caught.value) == f"{str(path)!r}{'' if message.startswith('line') else ':'}" \
                                f"{', ' if message.startswith('line') else ' '}{message}"
    assert "--" not in str(caught.value)  # the flag is the command line's to add
    with pytest.raises(OSError):
        load(str(tmp_path / "missing.json"))
    with pytest.raises(ValueError):  # a caller's `except ValueError` still catches what is wrong in a file
        load(str(path))


def test_a_router_file_names_itself(tmp_path):
    path = tmp_path / "r.json"
    path.write_bytes(BOM + b'{"format": "something else"}')
    with pytest.raises(RouterFileError) as caught:
        load_router(str(path))
    assert (caught.value.where, str(caught.value)) == (
        repr(str(path)), f"{str(path)!r}: not a router file (it has no \"format\": \"halvec fitted router\")")
