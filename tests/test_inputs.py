"""The inputs users have, and the hostile ones: JSON arrays, chat records, gzip, TSV, files
that are not text, lines with no end, the format however the bytes arrive, CSV cells that
hold bytes that are not UTF-8, ids strict JSON cannot carry; application logs, with their
token counts in "usage", the model that served each call and whole conversations."""

import bz2
import gzip
import io
import json
import tracemalloc

import pytest
from hypothesis import given
from hypothesis import strategies as st

from halvec import pattern_lists
from halvec.workload import KEPT_MODEL_NAMES, MAX_LINE, InputProblem, TaskReader, conversation_tokens
from halvec.workload.jsonl import JsonLines

KEYS = ["claude-opus", "claude-sonnet", "claude-haiku", "gpt-5.2"]


class Trickle(io.RawIOBase):
    """A stream that hands over at most ``piece`` bytes a read, as a slow pipe does."""

    def __init__(self, data, piece=1):
        self._data = memoryview(data)
        self._piece = piece

    def readable(self):
        return True

    def readinto(self, buffer):
        n = min(len(buffer), self._piece, len(self._data))
        buffer[:n] = self._data[:n]
        self._data = self._data[n:]
        return n

    def read1(self, size=-1):
        return self.read(min(size, self._piece) if size >= 0 else self._piece)


def tasks(data, name="-", piece=None, **kwargs):
    """(format, [(line, description)], reader) of ``data`` read whole."""
    stream = io.BytesIO(data) if piece is None else Trickle(data, piece)
    reader = TaskReader(stream, "'tasks'", name=name, models=KEYS, **kwargs)
    got = [(n, d) for batch in reader.batches() for n, d in zip(batch.lines, batch.descriptions)]
    return reader.format, got, reader


def problem(data, name="-", **kwargs):
    with pytest.raises(InputProblem) as stopped:
        tasks(data, name, **kwargs)
    return str(stopped.value)


records = st.lists(st.fixed_dictionaries({"description": st.text(max_size=20)},
                                         optional={"id": st.integers(), "tools": st.lists(st.none(), max_size=3)}),
                   max_size=20)


@given(records, st.sampled_from([1, 7, 4096]), st.booleans())
def test_a_json_array_reads_as_its_records_in_lines(items, block_size, pretty):
    as_jsonl = "".join(json.dumps(item) + "\n" for item in items).encode()
    as_array = json.dumps(items, indent=1 if pretty else None).encode()
    _, expected, _ = tasks(as_jsonl, block_size=block_size)
    fmt, got, reader = tasks(as_array, "t.json", block_size=block_size)
    assert fmt == "json" and [d for _, d in got] == [d for _, d in expected]
    if pretty and items:  # a record is numbered by the line where it starts
        assert got[0][0] == 2 and all(as_array.split(b"\n")[n - 1].strip() == b"{" for n, _ in got)


def test_a_json_array_that_is_broken_stops_the_reading_and_names_the_line():
    good = b'[\n {"description": "a"},\n 3,\n {"text": "b"}\n'
    assert tasks(good + b"]", "t.json", skip_bad=True)[2].bad_lines == 2  # a record that is no task is skipped
    assert problem(good, "t.json", skip_bad=True) == "'tasks', line 5: not JSON: the array ends without its closing ]"
    assert problem(b'[{"description": "a"},\n {"description": tru},\n {}]', "t.json", skip_bad=True) == \
        "'tasks', line 2: not JSON: Expecting value"
    assert problem(b'[{"description": "a"}] x', "t.json") == "'tasks', line 1: not JSON: there is more after the array's end"


def test_chat_records_give_their_last_user_message():
    lines = [{"messages": [{"role": "system", "content": "s"}, {"role": "user", "content": "first"},
                           {"role": "assistant", "content": "a"}, {"role": "user", "content": "second"}],
              "tools": [{"name": "x"}, {"name": "y"}]},
             {"messages": [{"role": "user", "content": [{"type": "text", "text": "one"},
                                                        {"type": "image_url", "image_url": {}},
                                                        {"type": "text", "text": "two"}]}]},
             {"messages": [{"role": "assistant", "content": "no user"}]},
             {"description": "plain", "messages": "ignored"}]
    data = "".join(json.dumps(line) + "\n" for line in lines).encode()
    _, got, reader = tasks(data, skip_bad=True)
    assert got == [(1, "second"), (2, "one\ntwo"), (4, "plain")]
    assert reader.kept_bad_lines[0].problem == 'no message of "messages" has the role "user": no description'
    batch = next(TaskReader(io.BytesIO(data), "'t'", skip_bad=True).batches())
    assert batch.tool_counts == [2, None, None]
    # a field named is the field read, an empty name too
    assert tasks(data, field="messages", skip_bad=True)[1] == [(4, "ignored")]
    assert tasks(b'{"": "empty name"}\n', field="")[1] == [(1, "empty name")]


def test_compressed_tsv_and_files_that_are_not_text():
    tsv = b"id\tdescription\n1\tfix the bug, then test\n"
    assert tasks(gzip.compress(tsv), "t.tsv.gz")[:2] == ("tsv", [(2, "fix the bug, then test")])
    assert tasks(gzip.compress(tsv), "anything", fmt="csv", delimiter="\t")[1] == [(2, "fix the bug, then test")]
    assert tasks(b"description;id\nfix it;1\n", "t.txt", delimiter=";")[:2] == ("csv", [(2, "fix it")])
    assert problem(gzip.compress(tsv)[:30], "t.tsv.gz").startswith("'tasks': cannot be read: its gzip data is damaged")
    for data, kind in ((b"description\x00\x01", "it holds NUL bytes"), (bz2.compress(tsv), "bzip2-compressed"),
                       ("description\n".encode("utf-16"), "UTF-16 text; save it as UTF-8")):
        message = problem(data, "t.jsonl", skip_bad=True, encoding_errors="replace")
        assert message.startswith(f"'tasks': not a text file ({kind}") and "--encoding-errors" not in message


@pytest.mark.parametrize("piece", [None, 1, 3])
def test_the_format_is_the_first_non_blank_lines_however_it_arrives(piece):
    fmt, got, reader = tasks(b"\n \r\n" * 2050 + b'  {"description": "a json line"}\n', piece=piece)
    assert (fmt, got, reader.blank_lines) == ("jsonl", [(4101, "a json line")], 4100)
    stream = io.BytesIO(b"\xef\xbb\xbf\n\n[") if piece is None else Trickle(b"\xef\xbb\xbf\n\n[", piece)
    assert TaskReader(stream, "'tasks'").format == "json"


def test_a_line_too_long_is_a_bad_line_and_memory_stays_bounded():
    line = b"x" * (MAX_LINE + 1)
    _, got, reader = tasks(b"first\n" + line + b"\nlast", fmt="text", skip_bad=True)
    assert got == [(1, "first"), (3, "last")]
    assert reader.kept_bad_lines[0].problem == f"longer than {MAX_LINE:,} bytes, the most a line may have"
    assert [d for _, d in tasks(b"x" * MAX_LINE + b"\n", fmt="text")[1]] == ["x" * MAX_LINE]  # at the limit: read

    class Endless(io.RawIOBase):  # 256 MB with no line break, made as it is read
        left = 256 << 20

        def readable(self):
            return True

        def readinto(self, buffer):
            n = min(len(buffer), self.left)
            buffer[:n] = b"a" * n
            self.left -= n
            return n

    for fmt in ("text", "jsonl", "csv"):
        tracemalloc.start()
        try:
            reader = TaskReader(Endless(), "'tasks'", fmt=fmt, field="a" * 10, skip_bad=True)
            try:
                list(reader.batches())
            except InputProblem as stopped:  # CSV: the header itself is too long
                assert "longer than" in str(stopped)
            else:
                assert reader.bad_lines == 1
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert peak < 4 * MAX_LINE, (fmt, peak)


def test_an_undecodable_line_in_a_quoted_csv_cell_is_that_lines_problem():
    good = "".join(f'{i},"task {i}\nsecond line"\n' for i in range(1000)).encode()
    data = b'id,description\n1,"open cell\nbad \xe9 line",\n2,"closes here"\n' + good
    assert problem(data, "t.csv") == "'tasks', line 3: not valid UTF-8 (byte 0xe9)"
    _, got, reader = tasks(data, "t.csv", skip_bad=True)
    assert (len(got), reader.bad_lines, got[0]) == (1001, 1, (4, "closes here"))


@pytest.mark.parametrize("data, name, said, remedy", [
    (b'{"text": "x"}\n', "t.jsonl", "'tasks', line 1: no field \"description\" (fields: \"text\")", "field"),
    (b"text,id\nx,1\n", "t.csv", "'tasks', line 1: no column \"description\" in the header (columns: \"text\", \"id\")",
     "column"),
    (b"description\nbad \xe9\n", "t.csv", "'tasks', line 2: not valid UTF-8 (byte 0xe9)", "encoding"),
])
def test_messages_add_the_callers_hint_for_what_mends_a_line(data, name, said, remedy):
    assert problem(data, name) == said
    assert problem(data, name, hints={remedy: "do this"}) == f"{said}; do this"


@pytest.mark.parametrize("header", ["description,id,description", "description,model,model",
                                    "description,prompt_tokens,input_tokens,prompt_tokens", "id,description,id"])
def test_a_csv_header_that_names_a_column_it_reads_twice_is_refused(header):
    # which of the two holds the description, the model, a count or the id cannot be told
    cells = ",".join(["3"] * (header.count(",") + 1))
    twice = next(name for name in header.split(",") if header.split(",").count(name) > 1)
    assert problem(f"{header}\n{cells}\n".encode(), "t.csv") == (f"'tasks', line 1: the column \"{twice}\" is in "
                                                                  f"the header twice: which one holds it cannot be told")
    assert tasks(b"description,other,other\nfix it,1,2\n", "t.csv")[1] == [(2, "fix it")]  # one it does not read


def test_ids_strict_json_cannot_carry_are_bad_lines():
    data = b'{"description": "a", "id": NaN}\n{"description": "b", "id": [1, -Infinity]}\n{"description": "c", "id": 1.5}\n'
    for fast in (True, False):
        _, got, reader = tasks(data, skip_bad=True, block_size=4096 if fast else 1)
        assert got == [(3, "c")] and reader.bad_lines == 2
    assert reader.kept_bad_lines[0].problem.startswith('the field "id" holds NaN or an infinity')


def test_pattern_files_say_what_re_warns_of_and_refuse_a_key_given_twice():
    lists = pattern_lists.parse(b'{"complex": ["ok",\n "[[a]-z]"]}', "--patterns 'p.json'", toml=False)
    assert lists.warnings == ("--patterns 'p.json', line 2: \"complex\" entry 1 (numbered from 0), '[[a]-z]': re warns: Possible "
                              "nested set at position 1",)
    with pytest.raises(pattern_lists.PatternFileError, match=r"line 2: gives the key \"simple\" twice"):
        pattern_lists.parse(b'{"simple": ["a"],\n "simple": ["b"]}', "'p.json'", toml=False)


# --- application logs: token counts in "usage", the model that served, whole conversations ----

NAMES = {"claude-haiku": "claude-haiku", "claude-haiku-4-5": "claude-haiku",
         "anthropic/claude-haiku-4-5": "claude-haiku", "gpt-5.2": "gpt-5.2", "openai/gpt-5.2": "gpt-5.2"}


def columns(data, **kwargs):
    """Every task's (line, description, model, input count, output count), and the reader."""
    kwargs.setdefault("models", NAMES)
    reader = TaskReader(io.BytesIO(data), "'t'", **kwargs)
    got = []
    for batch in reader.batches():
        for i in range(len(batch)):
            got.append((batch.lines[i], batch.descriptions[i], batch.models[i] if batch.models else None,
                        batch.input_tokens[i] if batch.input_tokens else None,
                        batch.output_tokens[i] if batch.output_tokens else None))
    return got, reader


def lines_of(*records):
    return "".join(json.dumps(r) + "\n" for r in records).encode()


def test_counts_are_read_from_usage_as_openai_and_anthropic_write_it():
    data = lines_of(
        {"description": "a", "usage": {"prompt_tokens": 1000, "completion_tokens": 200, "total_tokens": 1200}},
        {"description": "b", "usage": {"input_tokens": 10, "output_tokens": 20, "cache_read_input_tokens": 500,
                                       "cache_creation_input_tokens": 30}},
        {"description": "c", "input_tokens": 7, "usage": {"prompt_tokens": 99, "completion_tokens": 3}},
        {"description": "d", "usage": {"completion_tokens": 4.0}},
        {"description": "e", "usage": None},
        {"description": "f", "input_tokens": 1, "output_tokens": 2, "usage": "not read: the fields give both"})
    got, _ = columns(data)
    # the record's own fields first; Anthropic's cached prompt tokens are input tokens too
    assert [(n, i, o) for n, _, _, i, o in got] == [(1, 1000, 200), (2, 540, 20), (3, 7, 3), (4, None, 4),
                                                    (5, None, None), (6, 1, 2)]


@pytest.mark.parametrize("usage, problem", [
    ('"lots"', 'the field "usage" is the text "lots", not an object of token counts'),
    ('[1, 2]', 'the field "usage" is a list, not an object of token counts'),
    ('{"prompt_tokens": -1}', 'the field "usage"."prompt_tokens" is the number -1, not a count of tokens'),
    ('{"input_tokens": "9"}', 'the field "usage"."input_tokens" is the text "9", not a count of tokens'),
    ('{"output_tokens": 1.5}', 'the field "usage"."output_tokens" is the number 1.5, not a count of tokens'),
    ('{"input_tokens": 3, "cache_read_input_tokens": true}',
     'the field "usage"."cache_read_input_tokens" is true, not a count of tokens'),
])
def test_a_usage_object_that_is_not_counts_is_a_bad_line(usage, problem):
    data = b'{"description": "ok", "usage": {"prompt_tokens": 5}}\n{"description": "x", "usage": %s}\n' % usage.encode()
    for block_size in (1, 4096):  # line by line, and the whole batch at once
        got, reader = columns(data, skip_bad=True, block_size=block_size)
        assert [(n, i) for n, _, _, i, _ in got] == [(1, 5)]
        assert reader.kept_bad_lines[0].line == 2 and reader.kept_bad_lines[0].problem.startswith(problem)


def test_a_model_named_outside_the_catalogue_is_counted_and_requests_none():
    data = lines_of({"description": "a", "model": "claude-haiku-4-5"}, {"description": "b", "model": "gpt-4o"},
                    {"description": "c", "model": "openai/gpt-5.2"}, {"description": "d", "model": "gpt-4o"},
                    {"description": "e", "model": "auto"}, {"description": "f", "model": "Claude-Haiku"},
                    {"description": "g"}, {"description": "h", "model": "x" * 500})
    got, reader = columns(data)
    assert [m for *_, m, _, _ in got] == ["claude-haiku", None, "gpt-5.2", None, "auto", None, None, None]
    assert reader.outside_catalogue_tasks == 4 and reader.bad_lines == 0
    assert reader.outside_catalogue == {"gpt-4o": 2, "Claude-Haiku": 1, "x" * 200 + "...": 1}
    # another field, or none at all
    got, reader = columns(lines_of({"description": "a", "model": "gpt-4o", "asked": "claude-haiku"}),
                          model_field="asked")
    assert got[0][2] == "claude-haiku" and reader.outside_catalogue_tasks == 0
    got, reader = columns(lines_of({"description": "a", "model": 7}), model_field=None)
    assert got[0][2] is None and reader.outside_catalogue_tasks == 0 and reader.bad_lines == 0
    got, reader = columns(b"description,model\nfix it,gpt-4o\nfix that,claude-haiku\n", name="t.csv")
    assert [m for *_, m, _, _ in got] == [None, "claude-haiku"] and reader.outside_catalogue == {"gpt-4o": 1}


@pytest.mark.parametrize("value", ["7", "true", "[\"gpt-4o\"]", "{\"id\": \"gpt-4o\"}"])
def test_a_model_that_is_not_a_name_is_a_bad_line(value):
    _, reader = columns(b'{"description": "a", "model": %s}\n' % value.encode(), skip_bad=True)
    assert reader.kept_bad_lines[0].problem.startswith('the field "model" is ')
    assert reader.kept_bad_lines[0].problem.endswith(", not the name of a model")
    assert reader.outside_catalogue_tasks == 0


def test_the_names_outside_the_catalogue_kept_are_bounded():
    data = "".join(json.dumps({"description": "a", "model": f"m{i}"}) + "\n" for i in range(KEPT_MODEL_NAMES + 50))
    _, reader = columns(data.encode())
    assert reader.outside_catalogue_tasks == KEPT_MODEL_NAMES + 50
    assert len(reader.outside_catalogue) == KEPT_MODEL_NAMES


usage_values = st.one_of(st.none(), st.integers(-2, 3), st.sampled_from([1.0, 2.5, "4", True, [], {}]))
record_parts = st.fixed_dictionaries({"description": st.sampled_from(["a", "b"])}, optional={
    "model": st.one_of(st.sampled_from([*NAMES, "gpt-4o", "auto", "", None, 3, ["x"]])),
    "input_tokens": usage_values, "completion_tokens": usage_values,
    "usage": st.one_of(st.sampled_from([None, "x", [1]]), st.dictionaries(
        st.sampled_from(["prompt_tokens", "completion_tokens", "input_tokens", "output_tokens",
                         "cache_read_input_tokens", "cache_creation_input_tokens"]), usage_values))})


@given(st.lists(record_parts, max_size=12))
def test_a_batch_read_whole_is_read_as_its_records_one_by_one(records):
    data = lines_of(*records)
    whole = columns(data, skip_bad=True)
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(JsonLines, "_batch", lambda self, first, records, describe: None)
        alone = columns(data, skip_bad=True)
    assert whole[0] == alone[0]
    for reader in (whole[1], alone[1]):
        assert len(whole[0]) + reader.bad_lines == len(records)
    assert [(bad.line, bad.problem) for bad in whole[1].kept_bad_lines] == \
        [(bad.line, bad.problem) for bad in alone[1].kept_bad_lines]
    assert (whole[1].outside_catalogue, whole[1].outside_catalogue_tasks) == \
        (alone[1].outside_catalogue, alone[1].outside_catalogue_tasks)


def test_a_user_message_without_text_gives_way_to_the_one_before():
    image = {"type": "image_url", "image_url": {"url": "data:image/png;base64,AAAA"}}
    lines = [{"messages": [{"role": "user", "content": "What is in this picture?"},
                           {"role": "assistant", "content": "Send it."}, {"role": "user", "content": [image]}]},
             {"messages": [{"role": "user", "content": [image]}]},
             {"messages": [{"role": "user", "content": []}]},
             {"messages": [{"role": "user", "content": [{"type": "text", "text": 3}]}]},
             {"messages": [{"role": "user", "content": {"text": "x"}}]}]
    _, got, reader = tasks("".join(json.dumps(line) + "\n" for line in lines).encode(), skip_bad=True)
    assert got == [(1, "What is in this picture?")] and reader.chat_tasks == 1
    assert [bad.problem for bad in reader.kept_bad_lines] == [
        'no user message of "messages" holds text (the last holds only parts of type "image_url"): no description',
        'no user message of "messages" holds text (the last holds no parts): no description',
        'the last user message of "messages" has a part of type "text" whose "text" is not a text',
        'the last user message of "messages" has an object as its "content", not a text or a list of parts']


def test_a_chat_records_estimate_counts_all_it_sends():
    tools = [{"type": "function", "function": {"name": "search", "parameters": {"type": "object"}}}]
    record = {"system": "Be brief.",  # Anthropic's system prompt
              "messages": [{"role": "system", "content": "You are a careful assistant."},
                           {"role": "user", "content": "Find the flights to Oslo"},
                           {"role": "assistant", "content": None, "tool_calls": [
                               {"id": "1", "type": "function", "function": {"name": "search",
                                                                            "arguments": '{"q": "Oslo"}'}}]},
                           {"role": "tool", "tool_call_id": "1", "content": "Two flights, at 9 and at 17 h"},
                           {"role": "user", "content": [{"type": "text", "text": "The first, é"},
                                                        {"type": "image_url", "image_url": {"url": "x" * 400}},
                                                        {"type": "tool_result", "content": [
                                                            {"type": "text", "text": "booked"}]},
                                                        {"type": "tool_use", "input": {"seat": "2A"}}]}],
              "tools": tools}
    texts = ["Be brief.", "You are a careful assistant.", "Find the flights to Oslo", '{"q": "Oslo"}',
             "Two flights, at 9 and at 17 h", "The first, é", "booked", '{"seat":"2A"}',
             json.dumps(tools, separators=(",", ":"))]
    size = sum(len(text.encode()) for text in texts)
    assert conversation_tokens(record) == -(-size // 4)
    batch = next(TaskReader(io.BytesIO(lines_of(record, {"description": "plain"})), "'t'").batches())
    assert batch.descriptions == ["The first, é", "plain"] and batch.input_estimates == [-(-size // 4), None]


def test_a_caller_says_how_to_remedy_a_problem_in_its_own_terms():
    # the reader names what is wrong; a problem a setting remedies gets the caller's hint
    hints = {"field": "F", "column": "C", "encoding": "E"}
    assert problem(b'{"text": "x"}\n', "t.jsonl", hints=hints) == \
        "'tasks', line 1: no field \"description\" (fields: \"text\"); F"
    assert problem(b"text\nx\n", "t.csv", hints=hints) == \
        "'tasks', line 1: no column \"description\" in the header (columns: \"text\"); C"
    assert problem(b"id,description\n1,caf\xe9\n", "t.csv", hints=hints) == \
        "'tasks', line 2: not valid UTF-8 (byte 0xe9); E"
    for data, name in ((b"caf\xe9\n", "t.txt"), (b'[{"description": "caf\xe9"}]', "t.json")):
        assert problem(data, name, hints=hints) == "'tasks', line 1: not valid UTF-8 (byte 0xe9); E"
    assert problem(b"caf\xe9\n", "t.txt") == "'tasks', line 1: not valid UTF-8 (byte 0xe9)"
    _, _, reader = tasks(b'{"description": 3}\n\xff\n' + b"x" * (MAX_LINE + 1) + b"\n", "t.jsonl", hints=hints,
                         skip_bad=True)
    assert [bad.problem for bad in reader.kept_bad_lines] == [
        'the field "description" is the number 3, not a text', "not valid UTF-8 (byte 0xff); E",
        f"longer than {MAX_LINE:,} bytes, the most a line may have"]
