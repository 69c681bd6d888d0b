"""The evaluation machinery in process, for any input: tiers and routes as the module gives
them one task at a time, cost sums, the native scans, and pattern files that read back.
tests/cli/test_eval_cli.py runs the command itself; tests/workload/test_reader_blocks.py
reads the tasks whatever the block boundaries."""

import io
import json
import re
import signal
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_reader_blocks import KEYS, descriptions, reader_for

from halvec import _workload, pattern_lists
from halvec.config import SecretsStore
from halvec.core import model_router as mr
from halvec.evaluation import (ESTIMATED_OUTPUT_TOKENS, Prices, Settings, compare, estimate_input_tokens, evaluate,
                               mostly_unspaced, rounded_cost, task_cost)
from halvec.explain import explain_complexity


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
