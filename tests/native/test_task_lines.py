"""The native writer of eval's per-task lines: the bytes json.dumps would give for each line's
record (lone surrogates as U+FFFD), costs computed and rounded as Python computes and rounds
them (halvec.evaluation.task_cost), and a clean error, never a crash, when the columns are not
what it expects or change under it."""

import json
import math
import re

import pytest
from conftest import SANITIZED
from hypothesis import given
from hypothesis import strategies as st

from halvec._workload import task_lines
from halvec.evaluation import rounded_cost

HEAD = '"tier":"simple","model":"m","decided_by":"auto","rule":"counts","pattern":null'
NO_TOKENS = (None, None, None, None, False)


def dumps(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def expected(line, ident, span, cost, head=HEAD, counts=(None, None, False), description=None):
    if isinstance(cost, float) and not math.isfinite(cost):
        cost = None
    text = (f'{{"line":{line},"id":{dumps(ident)},'
            + (f'"description":{dumps(description)},' if description is not None else "")
            + f'"input_tokens":{dumps(counts[0])},"output_tokens":{dumps(counts[1])},"estimated":{dumps(counts[2])},'
            f'{head},"span":{dumps(None if span is None else list(span))},"cost":{dumps(cost)}}}\n')
    return re.sub("[\ud800-\udfff]", "\ufffd", text).encode("utf-8")


def route(price_in=0.5, price_out=1.5, head=HEAD):
    return (head, price_in, price_out)


def one(tokens=NO_TOKENS, routes=None, ids=None, encode=dumps):
    return task_lines([1], ids, None, routes or [route()], [None], tokens, encode)


ids = st.one_of(st.none(), st.text(), st.integers(), st.booleans(), st.floats(allow_nan=False),
                st.lists(st.integers(), max_size=3))
spans = st.one_of(st.none(), st.tuples(st.integers(0, 2**70), st.integers(0, 2**70)))
counts = st.one_of(st.none(), st.integers(0, 2**60))
prices = st.one_of(st.floats(allow_nan=False), st.integers(0, 100))


@given(st.lists(st.tuples(st.integers(1, 2**70), ids, spans, counts, counts, prices, prices, st.booleans(), st.text()),
                max_size=20),
       counts, counts, st.booleans(), st.one_of(st.booleans(), st.none()), st.booleans())
def test_lines_are_what_json_dumps_writes(tasks, default_in, default_out, columns, estimated, with_text):
    ins = [t[3] for t in tasks] if columns else None
    outs = [t[4] for t in tasks] if columns else None
    flags = [t[7] for t in tasks] if estimated is None else estimated

    def counted(task):
        i = task[3] if columns and task[3] is not None else default_in
        o = task[4] if columns and task[4] is not None else default_out
        return i, o, task[7] if estimated is None else estimated

    def cost(task):
        i, o, _ = counted(task)
        return None if i is None or o is None else rounded_cost((i * task[5] + o * task[6]) / 1000)

    written = task_lines([t[0] for t in tasks], [t[1] for t in tasks], [t[8] for t in tasks] if with_text else None,
                         [route(t[5], t[6]) for t in tasks], [t[2] for t in tasks],
                         (ins, outs, default_in, default_out, flags), dumps)
    assert written == b"".join(expected(t[0], t[1], t[2], cost(t), counts=counted(t),
                                        description=t[8] if with_text else None) for t in tasks)


@given(st.floats(allow_nan=False, allow_infinity=False, max_value=1e300, min_value=-1e300))
def test_a_cost_is_written_rounded_as_repr_writes_it(price):
    cost = rounded_cost((7 * price + 0 * 0.0) / 1000)
    assert one((None, None, 7, 0, False), [route(price, 0.0)]).endswith(f'"cost":{cost!r}}}\n'.encode())


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_a_rounded_cost_has_twelve_digits_at_most_and_is_the_nearest(amount):
    cost = rounded_cost(amount)
    digits = repr(abs(cost)).split("e")[0].replace(".", "").strip("0")
    assert len(digits) <= 12
    assert abs(cost - amount) <= abs(amount) * 5.0001e-12 or cost == float(f"{amount:.12g}")


@pytest.mark.parametrize("counts, prices, cost", [
    ((4, 500), (0.001, 0.005), "0.002504"),  # 0.0025039999999999997 unrounded
    ((1, 500), (0.00025, 0.00125), "0.00062525"),  # 0.0006252499999999999
    ((7, 3), (0.1, 0.2), "0.0013"),  # 0.0013000000000000002
    ((123456789, 987654321), (0.003, 0.015), "15185.185182"),
    ((1, 0), (1e-300, 0.0), "1e-303"),
])
def test_costs_lose_the_float_noise_and_keep_their_digits(counts, prices, cost):
    line = one((None, None, *counts, False), [route(*prices)])
    assert line.endswith(f'"cost":{cost}}}\n'.encode())
    assert rounded_cost((counts[0] * prices[0] + counts[1] * prices[1]) / 1000) == float(cost)


def test_costs_out_of_range_are_refused_as_python_refuses_them():
    with pytest.raises(OverflowError):
        one((None, None, 10**400, 1, False))
    assert one((None, None, 10**300, 1, False), [route(1e300, 0.0)]).endswith(b'"cost":null}\n')  # inf: JSON has none


def test_every_kind_of_str_and_the_escapes():
    texts = ["plain", 'quote " back \\ slash', "\n\r\t\b\f\x00\x1f\x7f", "caf\xe9 \u2028", "\u4e2d\u6587 \U0001f680",
             "lone \ud800 and \udfff"]
    n = len(texts)
    assert task_lines([1] * n, texts, texts, [route()] * n, [None] * n, NO_TOKENS, dumps) == \
        b"".join(expected(1, text, None, None, description=text) for text in texts)
    assert '"estimated":false,\ufffd"tier"'.encode() in one(routes=[route(head="\ud83d" + HEAD)])


@pytest.mark.parametrize("args", [
    (["1"], None, None, [route()], [None], NO_TOKENS),
    ([True], None, None, [route()], [None], NO_TOKENS),
    ([1], None, [b"x"], [route()], [None], NO_TOKENS),
    ([1], None, "x", [route()], [None], NO_TOKENS),
    ([1], None, None, [(b"x", 1.0, 1.0)], [None], NO_TOKENS),
    ([1], None, None, [HEAD], [None], NO_TOKENS),
    ([1], None, None, [route()], [(1,)], NO_TOKENS),
    ([1], None, None, [route()], [[1, 2]], NO_TOKENS),
    ([1], None, None, [route()], [(1, 2.0)], NO_TOKENS),
    ([1], None, None, [route()], [None], ([1], [1], None, None)),
    ([1], None, None, [route()], [None], ((1,), None, None, None, False)),
    ([1], None, None, [route(price_in="0.5")], [None], (None, None, 1, 1, False)),
    ([1], None, None, [route()], [None], (None, None, "1", 1, False)),
    ([1], None, None, [route()], [None], ([1.0], None, None, 1, False)),
    ([1], None, None, [route()], [None], (None, None, 1, 1, None)),
    ([1], None, None, [route()], [None], (None, None, 1, 1, [1])),
    ((1,), None, None, [route()], [None], NO_TOKENS),
])
def test_columns_of_the_wrong_kind_are_refused(args):
    with pytest.raises(TypeError):
        task_lines(*args, dumps)


@pytest.mark.parametrize("args", [
    ([1], None, None, [route()], [None, None], NO_TOKENS),
    ([1], [], None, [route()], [None], NO_TOKENS),
    ([1], None, ["a", "b"], [route()], [None], NO_TOKENS),
    ([1], None, None, [route()], [None], ([1, 2], None, None, None, False)),
    ([1], None, None, [route()], [None], (None, None, None, None, [True, False])),
])
def test_columns_of_another_length_are_refused(args):
    with pytest.raises(ValueError):
        task_lines(*args, dumps)


def test_arguments_are_checked():
    with pytest.raises(TypeError):
        task_lines([1], None, None, [route()], [None], NO_TOKENS)
    with pytest.raises(TypeError):
        task_lines([1], None, None, [route()], [None], NO_TOKENS, "not callable")
    with pytest.raises(TypeError):
        one(ids=[object()], encode=lambda value: 5)
    with pytest.raises(ZeroDivisionError):
        one(ids=[object()], encode=lambda value: 1 / 0)


def test_an_encoder_that_empties_the_columns_gets_an_error_not_a_crash():
    lines, ids_, routes, spans_, ins = [1, 2, 3], [object(), "b", "c"], [route()] * 3, [(0, 1)] * 3, [5] * 3

    def hostile(value):
        for column in (lines, ids_, routes, spans_, ins):
            column.clear()
        return "0"

    with pytest.raises(RuntimeError, match="changed size"):
        task_lines(lines, ids_, None, routes, spans_, (ins, None, None, 1, False), hostile)


def test_an_encoder_that_replaces_items_is_read_afresh():
    spans_, routes, ins = [(0, 1), (2, 3)], [route(), route()], [1, 1]

    def replace(value):
        spans_[0] = (5, 6)
        routes[1] = route(head='"x":"' + "y" * 1000 + '"')  # the old tuple goes away now
        ins[0] = 3000
        return "0"

    first, second = task_lines([1, 2], [object(), None], None, routes, spans_, (ins, None, None, 0, False),
                               replace).splitlines()
    assert json.loads(first)["span"] == [5, 6] and json.loads(first)["cost"] == 1.5
    assert json.loads(second)["x"] == "y" * 1000


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer itself needs the address space the limit withholds")
def test_long_texts_take_the_memory_their_bytes_need(python):
    # 64 MB of ASCII (with an escape at each end) and 32 MB of Latin-1: within an
    # address-space limit that leaves room for the output about twice over.
    out = python("""
        import resource
        from halvec._workload import task_lines
        ascii_id = "\\n" + "a" * (64 << 20) + "\\x00"
        head = '"h":"' + "\\xe9" * (32 << 20) + '"'
        size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (size + (400 << 20), hard))
        try:
            written = task_lines([1], [ascii_id], None, [(head, 0.5, 1.5)], [None], (None, None, None, None, False),
                                 repr)
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(len(written) == len(ascii_id) + len(head.encode()) + 109, written[:20])
    """)
    assert out.strip() == "True b'{\"line\":1,\"id\":\"\\\\naa'"
