"""The task reader in process, for any input: every line accounted for whatever the block
boundaries, the two JSON readers alike, the first problem reported the first in the file, and
input read as it arrives."""

import io
import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

from halvec import workload
from halvec.core import model_router as mr
from halvec.workload import InputProblem, TaskReader, json_values

KEYS = list(mr.AVAILABLE_MODELS)

WORDS = ["research", "write", "report", "hello", "list", "fetch", "architect", "daily", "500 word",
         "compare", "and", "contrast", "item", "the", "a", "İ", "\n", "\t", "  ", "\u2028", "é", "🚀", "'", '"', "\\"]
descriptions = st.one_of(
    st.lists(st.sampled_from(WORDS), max_size=80).map(" ".join),
    st.text(max_size=40),
    st.text(st.characters(codec="utf-8"), min_size=15, max_size=120),
)


def reader_for(data, **kwargs):
    kwargs.setdefault("models", KEYS)
    return TaskReader(io.BytesIO(data), "'tasks'", name="tasks", **kwargs)


# (no NUL: a file that starts with one is not a text file)

line_texts = st.lists(st.one_of(st.sampled_from(["", " ", "\r", "caf\u00e9", "\ufeff", "a\u2028b", "x\x85y"]),
                                st.text(st.characters(codec="utf-8", exclude_characters="\n\0"), max_size=12)),
                      max_size=25)


@given(line_texts, st.integers(1, 40), st.booleans(), st.booleans())
def test_text_lines_whatever_the_block_size(lines, block_size, bom, crlf):
    ending = "\r\n" if crlf else "\n"
    data = ("\ufeff" if bom else "").encode() + ending.join(lines).encode()
    report_reader = reader_for(data, fmt="text", block_size=block_size)
    got = [(n, d) for batch in report_reader.batches() for n, d in zip(batch.lines, batch.descriptions)]
    text = data.decode("utf-8").removeprefix("\ufeff")
    pieces = _lines_of(text)
    expected = [(n, line.removesuffix("\r")) for n, line in enumerate(pieces, 1)
                if line.removesuffix("\r").strip() and not line.removesuffix("\r").isspace()]
    assert got == expected
    assert report_reader.tasks + report_reader.blank_lines == len(pieces)


def _lines_of(text):
    """The lines of a file's text: a final line break ends the last line, it starts none."""
    return text.removesuffix("\n").split("\n") if text else []


@given(st.lists(st.one_of(descriptions.map(lambda t: json.dumps({"description": t, "id": 1})),
                          st.sampled_from(["", "not json", "[1]", '{"description": 3}', '{"x": "y"}', "{",
                                           '{"description": "a", "model": "nope"}',
                                           '{"description": "a", "output_tokens": 1.5}',
                                           '{"description": "\\ud800 lone"}', '{"description": "n", "x": NaN}',
                                           # values that run on over lines, or share one
                                           '{"description": "a"}, {"description": "b"}', '{"description": "c", "n": [{}',
                                           '{}]}', '{"description":', '"d"}', '{"description": "e"} 7'])),
                max_size=30),
       st.integers(5, 200))
def test_jsonl_bad_lines_are_counted_and_both_json_readers_agree(lines, block_size):
    data = "\n".join(lines).encode("utf-8", "surrogatepass")
    results = []
    for fast in (True, False):
        with pytest.MonkeyPatch.context() as patch:
            if not fast:
                patch.setattr(json_values, "fast_loads", json.loads)
                patch.setattr(json_values, "HAVE_ORJSON", False)
            reader = reader_for(data, fmt="jsonl", skip_bad=True, block_size=block_size)
            got = [(n, d) for b in reader.batches() for n, d in zip(b.lines, b.descriptions)]
            results.append((got, reader.bad_lines, reader.blank_lines,
                            [(bad.line, bad.problem) for bad in reader.kept_bad_lines]))
    assert results[0] == results[1]
    got, bad, blank, kept = results[0]
    assert len(got) + bad + blank == len(_lines_of(data.decode("utf-8", "surrogatepass")))
    assert [n for n, _ in kept] == sorted(n for n, _ in kept)


def test_a_value_over_two_lines_is_bad_even_beside_a_line_of_two():
    # together the three lines hold three objects; one by one, none of them is one object
    data = b'{"description": "a"}, {"description": "b"}\n{"description": "c", "n": [{}\n{}]}\n{"description": "d"}\n'
    reader = reader_for(data, skip_bad=True)
    assert [d for b in reader.batches() for d in b.descriptions] == ["d"]
    assert [bad.line for bad in reader.kept_bad_lines] == [1, 2, 3]


def test_the_first_bad_line_stops_the_reader():
    with pytest.raises(InputProblem) as stopped:
        list(reader_for(b'{"description": "a"}\n\n{"description": "b"\n').batches())
    assert str(stopped.value) == "'tasks', line 3: not JSON: Expecting ',' delimiter (column 20)"


_BAD_BYTES = b"caf\xe9"
_LINES_BY_FORMAT = {
    "jsonl": [b'{"description": "a"}', b'{"text": "x"}', b"not json", b'{"description": "' + _BAD_BYTES + b'"}', b""],
    "csv": [b"a,1", b"only", b'"open', b"b,2", b"c," + _BAD_BYTES, b""],
    "text": [b"a", _BAD_BYTES, b"", b" "],
}


@given(st.sampled_from(sorted(_LINES_BY_FORMAT)).flatmap(
           lambda fmt: st.tuples(st.just(fmt), st.lists(st.sampled_from(_LINES_BY_FORMAT[fmt]), max_size=12))),
       st.integers(3, 64), st.booleans())
def test_the_first_problem_reported_is_the_first_in_the_file(case, block_size, fast):
    # whatever the kind of problem, and however the lines fall into blocks
    fmt, lines = case
    data = b"\n".join([b"description,n"] + lines if fmt == "csv" else lines)
    with pytest.MonkeyPatch.context() as patch:
        if not fast:
            patch.setattr(json_values, "fast_loads", json.loads)
            patch.setattr(json_values, "HAVE_ORJSON", False)
        skipping = reader_for(data, fmt=fmt, skip_bad=True, block_size=block_size)
        list(skipping.batches())
        try:
            list(reader_for(data, fmt=fmt, block_size=block_size).batches())
        except InputProblem as problem:
            first = (problem.line, problem.problem)
        else:
            first = None
    assert first == ((skipping.kept_bad_lines[0].line, skipping.kept_bad_lines[0].problem)
                     if skipping.kept_bad_lines else None)


def test_input_is_streamed_a_block_at_a_time():
    class Counting(io.BytesIO):
        read_so_far = 0

        def read(self, size=-1):
            data = super().read(size)
            self.read_so_far += len(data)
            return data

        def read1(self, size=-1):
            return self.read(size)

    data = b"".join(b'{"description": "task %d"}\n' % i for i in range(200_000))
    stream = Counting(data)
    batches = TaskReader(stream, "'tasks'", models=KEYS).batches()
    first = next(batches)
    assert len(first) < 100_000 and stream.read_so_far < len(data) // 2
    assert len(first) + sum(len(b) for b in batches) == 200_000


def test_a_pipe_is_read_as_its_lines_arrive():
    import os
    import threading
    read_end, write_end = os.pipe()
    with open(read_end, "rb") as stream, open(write_end, "wb", buffering=0) as writer:
        batches = TaskReader(stream, "standard input", fmt="text").batches()
        writer.write(b"first task\nsecond")
        first = next(batches)  # the writer is still open: the first line is there already
        assert first.descriptions == ["first task"]
        threading.Thread(target=lambda: (writer.write(b" task\n"), writer.close())).start()
        assert [d for batch in batches for d in batch.descriptions] == ["second task"]


def test_format_by_name_then_by_first_line():
    assert workload.format_for("a.JSONL", b"x") == "jsonl"
    assert workload.format_for("a.csv", b"{") == "csv"
    assert workload.format_for("a.txt", b"{") == "text"
    assert workload.format_for("-", b"\xef\xbb\xbf  {\"a\": 1}") == "jsonl"
    assert workload.format_for("-", b"Fix the bug") == "text"
