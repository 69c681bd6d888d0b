"""The evaluation machinery in process, for any input: the reader's lines whatever the block
boundaries, the two JSON readers alike, tiers and routes as the module gives them one task
at a time, cost sums, and pattern files that read back. tests/test_eval_cli.py runs the
command itself."""

import io
import json
import re
import signal
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from halvec import _workload, pattern_lists, workload
from halvec.config import SecretsStore
from halvec.core import model_router as mr
from halvec.evaluation import (ESTIMATED_OUTPUT_TOKENS, Prices, Settings, compare, estimate_input_tokens, evaluate,
                               mostly_unspaced, rounded_cost, task_cost)
from halvec.explain import explain_complexity
from halvec.workload import InputProblem, TaskReader, json_values

KEYS = list(mr.AVAILABLE_MODELS)

# descriptions that reach every rule: pattern words, short texts, long texts, line breaks,
# odd characters
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


def store(*providers):
    secrets = SecretsStore()
    for provider in providers:
        secrets.set_key(provider, "test")
    return secrets


def settings_for(**kwargs):
    kwargs.setdefault("config", mr.ModelRoutingConfig())
    kwargs.setdefault("store", store("anthropic"))
    return Settings(**kwargs)


def run_lines(data, **kwargs):
    out = io.BytesIO()
    report = evaluate(reader_for(data, **{k: v for k, v in kwargs.items() if k != "settings"}),
                      kwargs.get("settings") or settings_for(), out=out)
    return report, [json.loads(line) for line in out.getvalue().decode("utf-8").splitlines()]


# --- tiers, rules and routes as the module gives them ------------------------------------------

@settings(suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(descriptions, max_size=30))
def test_tiers_agree_with_classify_complexity(texts):
    data = "".join(json.dumps({"description": t}) + "\n" for t in texts).encode()
    report, lines = run_lines(data)
    assert [line["tier"] for line in lines] == [mr.classify_complexity(t).value for t in texts]
    for line, text in zip(lines, texts):
        explained = explain_complexity(text)
        assert line["rule"] == explained.rule
        assert line["span"] == (list(explained.span) if explained.span is not None else None)
    summary = report.summary
    assert summary.tasks == len(texts) == sum(summary.tiers.values()) == sum(summary.rules.values())
    assert sum(p.tasks for p in summary.patterns) == summary.rules["complex_pattern"] + summary.rules["simple_pattern"]


requests = st.sampled_from([None, "auto", "", *KEYS])
configs = st.builds(mr.ModelRoutingConfig, enabled_models=st.lists(st.sampled_from(KEYS), unique=True),
                    cost_conscious=st.booleans(), default_worker_model=st.sampled_from(["auto", *KEYS]),
                    default_scheduler_model=st.sampled_from(["auto", *KEYS]))


@given(st.lists(st.tuples(descriptions, requests), max_size=20), configs,
       st.sets(st.sampled_from(["anthropic", "openai"])), st.booleans(), requests)
def test_each_task_gets_the_model_the_router_gives_it(tasks, config, providers, scheduler, default):
    data = "".join(json.dumps({"description": t, **({"model": m} if m is not None else {})}) + "\n"
                   for t, m in tasks).encode()
    secrets = store(*providers)
    chosen = settings_for(config=config, store=secrets, scheduler=scheduler, model=default)
    report, lines = run_lines(data, settings=chosen)
    router = mr.ModelRouter(config, secrets)
    select = router.select_for_scheduler if scheduler else router.select_for_worker
    expected = [select(text, default if request is None else request) for text, request in tasks]
    assert [mr.AVAILABLE_MODELS[line["model"]] for line in lines] == expected
    assert sum(report.summary.models.values()) == len(tasks)


OWN_PRICES = Prices({key: (0.5 + n, 0.25 * n) for n, key in enumerate(KEYS)}, source="p.toml")


@given(st.lists(st.tuples(st.sampled_from(["Research the market", "Fix it", " ".join(["item"] * 30), "请写一个程序"]),
                          st.one_of(st.none(), st.integers(0, 10**9)), st.one_of(st.none(), st.integers(0, 10**9))),
                max_size=40),
       st.one_of(st.none(), st.integers(0, 5000)), st.one_of(st.none(), st.integers(0, 5000)),
       st.sampled_from([None, OWN_PRICES]))
def test_cost_sums_the_tasks_costs(tasks, default_in, default_out, prices):
    # a count a task lacks is the flat count, else estimated; the prices are the run's
    data = "".join(json.dumps({"description": t, **({"input_tokens": i} if i is not None else {}),
                               **({"output_tokens": o} if o is not None else {})}) + "\n"
                   for t, i, o in tasks).encode()
    report, lines = run_lines(data, settings=settings_for(input_tokens=default_in, output_tokens=default_out,
                                                          prices=prices))
    for line, (text, i, o) in zip(lines, tasks):
        want_in = i if i is not None else default_in if default_in is not None else -(-len(text.encode()) // 4)
        want_out = o if o is not None else default_out if default_out is not None else ESTIMATED_OUTPUT_TOKENS
        assert (line["input_tokens"], line["output_tokens"]) == (want_in, want_out)
        assert line["estimated"] == ((i is None and default_in is None) or (o is None and default_out is None))
        assert line["cost"] == task_cost(line["model"], want_in, want_out, prices)
    cost = report.summary.cost
    if not tasks:
        assert cost is None
        return
    assert cost.costed_tasks == len(tasks) and cost.uncosted_tasks == 0
    assert cost.estimated_tasks == sum(line["estimated"] for line in lines)
    assert cost.routed == pytest.approx(sum(line["cost"] for line in lines), rel=1e-9)
    assert cost.input_tokens == sum(line["input_tokens"] for line in lines)
    assert [name for name, _ in cost.ranking] == sorted(["routed", *KEYS], key=dict(cost.ranking).get)
    assert cost.cheaper_alone == tuple(key for key, _ in cost.ranking if key != "routed" and cost.alone[key] < cost.routed)
    assert cost.saving == rounded_cost(cost.baseline_cost - cost.routed)
    assert all(amount == rounded_cost(amount) for amount in (cost.routed, *cost.alone.values()))


# characters of each kind the scan weighs: of the scripts, white space, others (and lone surrogates)
UNSPACED_PROBE = st.text(st.one_of(st.sampled_from(list("\u4e00\u0e01\u3001\uff0c\U00020000\u1780 \t\n\u3000"
                                                        "\u00a0\u1680\u2028x\u00e9\u0439\uac00\u3000\ud800\U0001f680")),
                                   st.characters(codec=None)), max_size=40)

# and texts of a few hundred characters, which the scan reads in steps, stopping once the answer is known
UNSPACED_TEXTS = st.one_of(UNSPACED_PROBE, st.lists(UNSPACED_PROBE, max_size=12).map("".join))


@given(st.lists(UNSPACED_TEXTS, max_size=20))
def test_the_native_scans_agree_with_their_python_references(texts):
    assert _workload.unspaced(texts) == [i for i, text in enumerate(texts) if mostly_unspaced(text)]
    assert _workload.token_estimates(texts) == list(map(estimate_input_tokens, texts))


def test_the_unspaced_scan_takes_a_list_of_str():
    for bad in (("a",), ["a", 1], [b"\xe4\xb8\x80"]):
        with pytest.raises(TypeError):
            _workload.unspaced(bad)


@pytest.mark.parametrize("scan", [_workload.unspaced, _workload.token_estimates])
def test_the_scans_check_for_signals_over_the_whole_list(scan):
    hooks = sys.modules.get("halvec._workload_hooks") or pytest.skip("a build without the test hooks")
    balanced = "\u4e00\u00e9" * (1 << 19)  # looked at to its end
    # many short descriptions, and long ones each shorter than the stretch between two checks
    for texts in (["x"] * (1 << 20), [balanced] * 17):
        before = hooks.signal_checks()
        scan(texts)
        assert hooks.signal_checks() > before

    texts = ["\u4e00\u4e01"] * (1 << 20)
    whole = scan(texts)

    def handler(signum, frame):
        texts.clear()
        if not whole:
            raise KeyboardInterrupt
    previous = signal.signal(signal.SIGUSR1, handler)
    try:
        hooks.signal_at_check(1, signal.SIGUSR1)
        cut = scan(texts)  # the handler empties the list: the scan stops where it is
        assert 0 < len(cut) < len(whole) and cut == whole[:len(cut)]
        texts[:], whole = ["\u4e00"] * (1 << 20), []
        hooks.signal_at_check(1, signal.SIGUSR1)
        with pytest.raises(KeyboardInterrupt):
            scan(texts)
    finally:
        hooks.signal_at_check(0, signal.SIGUSR1)
        signal.signal(signal.SIGUSR1, previous)


KEY_OBJECTS = [object() for _ in range(20)]


@given(st.lists(st.tuples(st.integers(0, 19), st.one_of(st.integers(-2**40, 2**40), st.integers(), st.none()),
                          st.booleans()), max_size=60))
def test_group_sums_add_each_column_by_key_or_leave_it_to_the_caller(rows):
    keys = [KEY_OBJECTS[k] for k, _, _ in rows]
    values, flags = [v for _, v, _ in rows], [f for _, _, f in rows]
    got = _workload.group_sums(keys, (values, flags))
    expected = {}
    for key, value, flag in zip(keys, values, flags):
        n, (total, true) = expected.get(key, (0, (0, 0)))
        expected[key] = (n + 1, (total + (value or 0), true + flag))
    simple = len(expected) <= 16 and all(v is not None and abs(v) <= 2**40 for v in values)
    if got is None:  # too many keys, or a value that is not a 64-bit int: the caller sums
        assert not simple
        return
    assert [(key, n, sums) for key, n, sums in got] == [(k, n, list(sums)) for k, (n, sums) in expected.items()]
    assert [key for key, _, _ in got] == list(dict.fromkeys(keys))  # in the order first met


def test_group_sums_takes_a_list_and_a_tuple_of_lists_as_long():
    for args in ((("a",), ()), (["a"], [[1]]), (["a"], ([1, 2],)), (["a"], ((1,),))):
        with pytest.raises(TypeError):
            _workload.group_sums(*args)


# --- reading: every line accounted for, whatever the blocks ----------------------------------
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


# --- comparing two pairs of lists ---------------------------------------------------------------

@given(st.lists(descriptions, max_size=25), st.lists(st.sampled_from(["\\b(item)\\b", "report", "a", "^x"]),
                                                     max_size=3))
def test_compare_tiers_are_those_of_each_pair_and_the_lists_come_back(texts, new_complex):
    data = "".join(json.dumps({"description": t}) + "\n" for t in texts).encode()
    lists = pattern_lists.PatternLists(tuple(new_complex), tuple(mr._SIMPLE_PATTERNS))
    complex_before, simple_before = mr._COMPLEX_PATTERNS, mr._SIMPLE_PATTERNS
    result = compare(reader_for(data), settings_for(), lists)
    assert mr._COMPLEX_PATTERNS is complex_before and mr._SIMPLE_PATTERNS is simple_before
    before = [mr.classify_complexity(t).value for t in texts]
    with pattern_lists.applied(lists):
        after = [mr.classify_complexity(t).value for t in texts]
    for tier in ("simple", "moderate", "complex"):
        for other in ("simple", "moderate", "complex"):
            assert result.transitions[tier][other] == sum(1 for b, a in zip(before, after) if (b, a) == (tier, other))
    assert result.changed == sum(1 for b, a in zip(before, after) if b != a)
    assert [(c.before.tier, c.after.tier) for c in result.changes] == [(b, a) for b, a in zip(before, after)
                                                                       if b != a][:20]


# --- pattern files ----------------------------------------------------------------------------

patterns = st.lists(st.one_of(st.sampled_from(["\\b(a|b)\\b", "'", '"', "\\\\", "x\ty", "\u202e", "é+", "[']"]),
                              st.text(max_size=8).map(re.escape)), max_size=5)


@given(patterns, patterns)
def test_pattern_files_read_back_as_written(complex_list, simple_list):
    lists = pattern_lists.PatternLists(tuple(complex_list), tuple(simple_list))
    toml = pattern_lists.as_toml(lists, comment=["a comment"])
    assert all(line.isprintable() for line in toml.splitlines())
    written = [(pattern_lists.as_json(lists), False), (toml, True)]
    for text, is_toml in written:
        assert pattern_lists.parse(text.encode(), "'p'", toml=is_toml) == lists


def test_a_list_left_out_stays_as_it_is():
    base = pattern_lists.PatternLists(("c",), ("s",))
    assert pattern_lists.parse(b'{"simple": []}', "'p'", toml=False, base=base) == pattern_lists.PatternLists(("c",), ())
    assert pattern_lists.parse(b"complex = ['x']", "'p'", toml=True, base=base) == pattern_lists.PatternLists(("x",), ("s",))


def test_applied_lists_come_back_after_an_error(patterns):
    complex_list, simple_list = mr._COMPLEX_PATTERNS, mr._SIMPLE_PATTERNS
    with pytest.raises(KeyError):
        with pattern_lists.applied(pattern_lists.PatternLists(("\\b(tea)\\b",), ())):
            assert mr.classify_complexity("Brew a pot of tea for the whole office") == mr.Complexity.COMPLEX
            raise KeyError("x")
    assert mr._COMPLEX_PATTERNS is complex_list and mr._SIMPLE_PATTERNS is simple_list
    assert pattern_lists.in_force().complex == tuple(complex_list)
