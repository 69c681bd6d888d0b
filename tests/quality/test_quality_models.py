"""Routers among many priced models: frontiers worked out by hand, the definitions' properties,
the native kernel against the plain-Python definitions, planted outcome sets, and outcome files
read for many models with their costs."""

import json
import math
import random
import signal
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

from halvec.evaluation import ESTIMATED_OUTPUT_TOKENS, Prices, estimate_input_tokens, task_cost
from halvec.quality.costs import MissingPrices, prompt_costs
from halvec.quality.frontier import (Plan, Point, aiq, choose, cost_to_reach, envelope, frontier, hull,
                                     resample_figures, value_at)
from halvec.quality.models import (ModelSet, Predictions, measure, measure_models, native_figures, place_for_budget,
                                   place_for_share, pool, resampler)
from halvec.quality.outcomes import OutcomeProblem, read_outcomes

# --- three prompts, three models, worked out by hand -----------------------------------------
# Models A, B, C at prices 4, 2, 1. Predicted results (eighths, so every breakpoint is exact):
#   prompt 0: A 0.875, B 0.75, C 0.25  -> A, then B from 0.0625, then C from 0.5
#   prompt 1: A 0.75,  B 0.25, C 0.125 -> A, then C from 0.625/3 (B never: its stretch is empty)
#   prompt 2: A 0.5,   B 0.625, C 0.125 -> B (A is dearer and worse), then C from 0.5
# Actual results: prompt 0 A 1 B 1 C 0; prompt 1 A 1 B 0 C 0; prompt 2 A 0 B 1 C 1.
PRICES = [4.0, 2.0, 1.0]
QUALITIES = [[0.875, 0.75, 0.25], [0.75, 0.25, 0.125], [0.5, 0.625, 0.125]]
RESULTS = [[1.0, 1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, 1.0]]
COSTS = [PRICES] * 3


def hand_set():
    return ModelSet("hand", ("A", "B", "C"), ["p0", "p1", "p2"], RESULTS, COSTS, "outcome costs", ())


def test_each_prompts_envelope_by_hand():
    assert envelope(QUALITIES[0], PRICES) == [(0.0, 0), (0.0625, 1), (0.5, 2)]
    assert envelope(QUALITIES[1], PRICES) == [(0.0, 0), (0.625 / 3, 2)]
    assert envelope(QUALITIES[2], PRICES) == [(0.0, 1), (0.5, 2)]
    # ties: equal lines go to the cheaper model; equal prices to the better, then the earlier model
    assert envelope([0.5, 0.5], [2.0, 1.0]) == [(0.0, 1)]
    assert envelope([0.5, 0.5, 0.7], [1.0, 1.0, 1.0]) == [(0.0, 2)]
    assert envelope([0.5, 0.5], [1.0, 1.0]) == [(0.0, 0)]
    # three lines through one point: the middle one never holds, the cheapest wins at the point
    assert envelope([1.0, 0.75, 0.5], [2.0, 1.5, 1.0]) == [(0.0, 0), (0.5, 2)]
    assert choose([1.0, 0.75, 0.5], [2.0, 1.5, 1.0], 0.5) == 2 and choose([1.0, 0.75, 0.5], [2.0, 1.5, 1.0], 0.49) == 0
    assert choose([0.9, 0.2], [1.0, 0.0], 5.0, usable=[0]) == 0
    with pytest.raises(ValueError):
        choose([0.9], [1.0], 0.0, usable=[])


def test_a_frontier_hull_and_figures_by_hand():
    f = frontier(QUALITIES, [PRICES] * 3, RESULTS, COSTS)
    assert f.tradeoffs == (0.0, 0.0625, 0.625 / 3, 0.5)
    assert f.points == (Point(10 / 3, 1.0), Point(8 / 3, 1.0), Point(5 / 3, 2 / 3), Point(1.0, 1 / 3))
    assert f.start == (0, 0, 1) and f.ends == (1, 2, 4)  # prompts 0 and 2 both change at 0.5
    singles = [Point(4.0, 2 / 3), Point(2.0, 2 / 3), Point(1.0, 1 / 3)]
    vertices = hull([*f.points, *singles])
    assert vertices == [Point(1.0, 1 / 3), Point(5 / 3, 2 / 3), Point(8 / 3, 1.0)]
    assert aiq(vertices, 1.0, 4.0) == pytest.approx(5 / 6)  # (1/3 + 5/6 + 4/3) / 3
    assert cost_to_reach(vertices, 0.95 * 2 / 3) == pytest.approx(1.6)
    assert cost_to_reach(vertices, 2 / 3) == 5 / 3 and cost_to_reach(vertices, 1.01) is None
    alone = hull(singles)
    assert alone == [Point(1.0, 1 / 3), Point(2.0, 2 / 3)]  # flat after its highest point
    assert aiq(alone, 1.0, 4.0) == pytest.approx(11 / 18) and value_at(alone, 3.0) == 2 / 3

    m = measure(hand_set(), [Predictions("hand", ("A", "B", "C"), QUALITIES, [PRICES] * 3, 0.3)], resamples=50)
    router = m.routers[0]
    assert m.best_model == "B"  # A and B both score 2/3: the cheaper
    assert router.hull.aiq.value == pytest.approx(5 / 6) and m.models_alone.aiq.value == pytest.approx(11 / 18)
    assert router.hull.reach[0.95].value == pytest.approx(0.8) and router.hull.reach[1.0].value == pytest.approx(5 / 6)
    assert m.models_alone.reach[0.95].value == pytest.approx(0.95) and m.models_alone.reach[1.0].value == 1.0
    assert (router.quality_only.result.value, router.quality_only.cost.value) == (1.0, pytest.approx(10 / 3))
    assert router.gap_recovered.value == 1.0  # the oracle also scores 1
    op = router.operating
    assert op is not None and op.tradeoff == 0.3 and (op.result.value, op.cost.value) == (2 / 3, 5 / 3)
    assert {k: e.value for k, e in op.calls.items()} == {"A": 0.0, "B": 2 / 3, "C": 1 / 3}
    oracle = m.oracle
    assert oracle.frontier.points == (Point(7 / 3, 1.0), Point(4 / 3, 2 / 3), Point(1.0, 1 / 3))
    assert oracle.frontier.tradeoffs == (0.0, 1 / 3, 1.0)
    assert {k: e.value for k, e in oracle.quality_only.calls.items()} == {"A": 1 / 3, "B": 1 / 3, "C": 1 / 3}
    assert [(s.model, s.result.value, s.cost.value) for s in m.single] == [
        ("A", 2 / 3, 4.0), ("B", 2 / 3, 2.0), ("C", 1 / 3, 1.0)]
    # every interval holds its figure
    for e in (router.hull.aiq, m.models_alone.aiq, op.result, op.cost, oracle.hull.aiq):
        assert e.low is not None and e.high is not None and e.low <= e.value <= e.high


def test_placing_the_tradeoff_by_hand():
    f = frontier(QUALITIES, [PRICES] * 3, RESULTS, COSTS)
    share = place_for_share(f, 2 / 3, 0.95)  # the cheapest point scoring at least 0.95 * 2/3: (5/3, 2/3)
    assert share is not None and share.point == Point(5 / 3, 2 / 3)
    assert share.tradeoff == (0.625 / 3 + 0.5) / 2 and share.chosen_by == "target_share"
    assert place_for_share(f, 2 / 3, 1.6) is None
    budget = place_for_budget(f, 2.0)  # the best result at a cost of 2 or less
    assert budget is not None and budget.point == Point(5 / 3, 2 / 3) and budget.tradeoff == share.tradeoff
    last = place_for_budget(f, 1.0)
    assert last is not None and last.point == Point(1.0, 1 / 3) and last.tradeoff == 1.0  # twice the last start
    first = place_for_share(f, 1.0, 1.0)  # both the first two points score 1: the cheaper, inside its stretch
    assert first is not None and first.point == Point(8 / 3, 1.0) and first.tradeoff == (0.0625 + 0.625 / 3) / 2
    assert place_for_budget(f, 0.5) is None
    # the placed λ gives the placed point when the prompts are chosen at it
    chosen = [choose(q, PRICES, share.tradeoff) for q in QUALITIES]
    assert sum(COSTS[i][m] for i, m in enumerate(chosen)) / 3 == pytest.approx(5 / 3)


# --- properties ------------------------------------------------------------------------------

eighths = st.integers(0, 8).map(lambda k: k / 8)
quarters = st.integers(0, 8).map(lambda k: k / 4)


@st.composite
def priced_sets(draw, most_prompts=6, most_models=4):
    n, width = draw(st.integers(1, most_prompts)), draw(st.integers(2, most_models))
    rows = lambda values: draw(st.lists(st.lists(values, min_size=width, max_size=width), min_size=n, max_size=n))  # noqa: E731
    per_prompt = draw(st.booleans())
    prices = rows(quarters) if per_prompt else [draw(st.lists(quarters, min_size=width, max_size=width))] * n
    return rows(eighths), prices, rows(st.sampled_from([0.0, 0.5, 1.0])), rows(quarters)


@given(priced_sets())
def test_the_frontiers_points_are_the_choices_between_its_breakpoints(data):
    qualities, prices, results, costs = data
    f = frontier(qualities, prices, results, costs)
    n = len(qualities)
    assert list(f.tradeoffs) == sorted(set(f.tradeoffs)) and f.tradeoffs[0] == 0.0
    for k, point in enumerate(f.points):
        at = (f.tradeoffs[k] + f.tradeoffs[k + 1]) / 2 if k + 1 < len(f.tradeoffs) else f.tradeoffs[k] + 1.0
        chosen = [choose(q, p, at) for q, p in zip(qualities, prices)]
        # dyadic values: every sum is exact, whatever its order
        assert point == Point(sum(costs[i][m] for i, m in enumerate(chosen)) / n,
                              sum(results[i][m] for i, m in enumerate(chosen)) / n)
    assert list(f.start) == [choose(q, p, 0.0) for q, p in zip(qualities, prices)]


points = st.lists(st.builds(Point, st.floats(0, 10), st.floats(-5, 5)), min_size=1, max_size=30)


@given(points)
def test_the_hull_dominates_every_point_and_rises(pts):
    vertices = hull(pts)
    assert vertices[0].cost == min(p.cost for p in pts)
    assert vertices[-1].result == max(p.result for p in pts)
    for a, b in zip(vertices, vertices[1:]):
        assert a.cost < b.cost and a.result < b.result  # rising, to its highest point
    for a, b, c in zip(vertices, vertices[1:], vertices[2:]):  # concave
        assert (b.result - a.result) * (c.cost - b.cost) >= (c.result - b.result) * (b.cost - a.cost)
    for p in pts:
        assert value_at(vertices, p.cost) >= p.result - 1e-9 * (1 + abs(p.result))


@given(priced_sets(most_prompts=8, most_models=5), st.integers(0, 2**32 - 1))
def test_routers_beat_the_models_alone_and_the_oracle_beats_routers(data, seed):
    qualities, prices, results, costs = data
    names = tuple(f"m{k}" for k in range(len(results[0])))
    s = ModelSet("s", names, [""] * len(results), results, costs, "outcome costs", ())
    rng = random.Random(seed)
    noisy = [[q + rng.uniform(-0.5, 0.5) for q in row] for row in qualities]
    m = measure(s, [Predictions("r", names, qualities, prices), Predictions("noisy", names, noisy, prices)],
                resamples=1)
    alone, oracle = m.models_alone, m.oracle
    for router in m.routers:
        assert router.hull.aiq.value >= alone.aiq.value - 1e-12
        assert oracle.hull.aiq.value >= router.hull.aiq.value - 1e-12
        assert all(oracle.quality_only.result.value >= p.result for p in router.frontier.points)
        for v in router.hull.vertices:
            assert value_at(oracle.hull.vertices, v.cost) >= v.result - 1e-12
        for share in (0.95, 1.0):
            reach, reach_alone = router.hull.reach[share].value, alone.reach[share].value
            assert reach is None or reach_alone is None or reach <= reach_alone + 1e-12


@st.composite
def plans(draw):
    n, width = draw(st.integers(1, 12)), draw(st.integers(1, 5))
    values = st.floats(-1e3, 1e3, allow_nan=False)
    rows = lambda v: [[draw(v) for _ in range(width)] for _ in range(n)]  # noqa: E731
    results, costs = rows(values), rows(st.floats(0, 1e3))
    frontiers = [frontier(rows(values), rows(st.floats(0, 10)), results, costs) for _ in range(draw(st.integers(0, 3)))]
    choices = [[draw(st.integers(0, width - 1)) for _ in range(n)] for _ in range(draw(st.integers(0, 3)))]
    targets = draw(st.lists(st.floats(0, 1.5), max_size=3))
    counts = draw(st.lists(st.integers(0, 5), min_size=n, max_size=n).filter(any))
    return Plan.of(results, costs, frontiers, choices, targets), counts


@given(plans())
def test_the_native_kernel_gives_the_definitions_floats(case):
    plan, counts = case
    figures = resample_figures(plan, counts)
    assert native_figures(resampler(plan), counts) == figures
    assert not math.isnan(figures.alone.aiq)


def test_figures_stay_numbers_for_costs_closer_than_any_ratio_holds():
    tiny = Plan.of([[0.0, 1.0]], [[0.0, 5e-324]], [], [], [0.95])
    figures = resample_figures(tiny, [1])
    assert figures.alone.aiq == 0.5 and native_figures(resampler(tiny), [1]) == figures


def test_the_native_kernel_refuses_what_is_not_a_plan():
    plan = Plan.of(RESULTS, COSTS, [frontier(QUALITIES, COSTS, RESULTS, COSTS)], [[0, 1, 2]], [0.95])
    kernel = resampler(plan)
    assert kernel.memory > 0
    for counts in ([1, 1], [0, 0, 0], [1, -1, 1], [1, 1.0, 1], [1, 2**60, 1]):
        with pytest.raises((TypeError, ValueError)):
            kernel.figures(counts)
    f = plan.frontiers[0]
    good = (f.start_costs, f.start_results, f.prompts, f.costs, f.results, f.ends)
    for frontiers in ([(*good[:5], [1])], [(*good[:2], [3] * len(f.prompts), *good[3:])], [good[:5]],
                      [(*good[:3], [math.nan] * len(f.costs), *good[4:])]):
        with pytest.raises((TypeError, ValueError)):
            type(kernel)(3, 3, plan.results, plan.costs, frontiers, [], [])
    with pytest.raises(ValueError):
        type(kernel)(3, 3, plan.results, plan.costs, [], [[0, 1, 3]], [])
    with pytest.raises(ValueError):
        type(kernel)(0, 3, [], [], [], [], [])


def test_the_kernel_checks_for_signals_and_refuses_to_measure_within_itself():
    hooks = sys.modules.get("halvec._quality_hooks") or pytest.skip("a build without the test hooks")
    n = 1 << 18  # a check falls due once every model alone is summed
    plan = Plan.of([[0.0, 1.0, 0.5, 0.25]] * n, [[1.0, 2.0, 3.0, 4.0]] * n, [], [[1] * n], [0.95])
    kernel, counts = resampler(plan), [1] * n
    before = hooks.signal_checks()
    whole = kernel.figures(counts)
    assert hooks.signal_checks() > before
    inside = []

    def handler(signum, frame):
        with pytest.raises(RuntimeError, match="already measuring"):
            kernel.figures(counts)
        inside.append(signum)
        raise KeyboardInterrupt
    previous = signal.signal(signal.SIGUSR1, handler)
    try:
        hooks.signal_at_check(1, signal.SIGUSR1)
        with pytest.raises(KeyboardInterrupt):
            kernel.figures(counts)
        assert inside == [signal.SIGUSR1] and kernel.figures(counts) == whole  # usable again
    finally:
        hooks.signal_at_check(0, signal.SIGUSR1)
        signal.signal(signal.SIGUSR1, previous)


# --- planted outcome sets --------------------------------------------------------------------

class KeywordRouter:
    """Predicts that only the expert handles a prompt with the keyword; prices fixed."""

    models = ("cheap", "mid", "expert")

    def qualities(self, text):
        hard = "integral" in text
        return {"cheap": 0.0 if hard else 0.9, "mid": 0.1 if hard else 0.9, "expert": 1.0}

    def prices(self, text):
        return {"cheap": 1.0, "mid": 2.0, "expert": 10.0}


def keyword_file(path, n=60):
    with open(path, "w", encoding="utf-8") as file:
        for i in range(n):
            hard = i % 4 == 0
            text = f"solve the integral number {i}" if hard else f"name a colour {i}"
            scores = {"cheap": 0 if hard else 1, "mid": 0 if hard else i % 2, "expert": 1}
            file.write(json.dumps({"prompt": text, "scores": scores,
                                   "costs": {"cheap": 1.0, "mid": 2.0, "expert": 10.0}}) + "\n")
    return str(path)


def test_a_keyword_only_one_model_handles(tmp_path):
    outcomes = read_outcomes(keyword_file(tmp_path / "k.jsonl"), models="all")
    s = ModelSet.of(outcomes, prompt_costs(outcomes))
    bench = measure_models([s, s], [("keyword", KeywordRouter(), 0.05)], resamples=40, seed=3)
    assert [m.name for m in bench.sets] == [s.name, s.name, "pooled (2 files)"]
    m = bench.sets[0]
    router = m.routers[0]
    assert m.best_model == "expert"
    # at any small λ: the keyword's prompts to the expert, the rest to the cheap model, which is the oracle
    cost = (15 * 10.0 + 45 * 1.0) / 60
    assert router.operating.result.value == 1.0 and router.operating.cost.value == cost
    assert router.operating.calls["expert"].value == 0.25 and router.operating.calls["mid"].value == 0.0
    assert router.hull.reach[1.0].value == pytest.approx(cost / 10.0)
    assert m.oracle.quality_only.cost.value == cost
    assert router.gap_recovered.value is None  # the best model alone already scores what the oracle does
    assert m.models_alone.reach[1.0].value == 1.0
    assert router.hull.aiq.value > m.models_alone.aiq.value
    document = json.loads(json.dumps(bench.as_json()))
    assert document["routers"] == ["keyword"] and document["targets"] == [0.95, 1.0]
    names = [row["name"] for row in document["sets"][0]["rows"]]
    assert names == ["keyword", "models alone", "oracle", "cheap alone", "mid alone", "expert alone"]
    row = document["sets"][0]["rows"][0]
    assert set(row) == {"name", "kind", "model", "aiq", "cost_to_reach", "result", "cost", "calls", "tradeoff",
                        "quality_only", "hull"}
    assert set(row["cost_to_reach"]) == {"0.95", "1"} and row["quality_only"]["gap_recovered"]["value"] is None
    pooled = bench.sets[2]
    assert pooled.prompts == 120 and pooled.routers[0].hull.aiq.value == pytest.approx(router.hull.aiq.value)


def test_equal_results_at_different_prices_go_to_the_cheaper_model():
    rng = random.Random(5)
    results = [[r, r, float(rng.random() < 0.3)] for r in (float(rng.random() < 0.7) for _ in range(50))]
    costs = [[3.0, 1.0, 0.5]] * 50
    s = ModelSet("tied", ("dear", "cheap", "bad"), [""] * 50, results, costs, "outcome costs", ())
    equal = Predictions("equal", s.models, [[0.7, 0.7, 0.3]] * 50, [[3.0, 1.0, 0.5]] * 50, 0.0)
    m = measure(s, [equal], resamples=20)
    assert m.best_model == "cheap"
    op = m.routers[0].operating
    assert op.calls["cheap"].value == 1.0 and op.calls["dear"].value == 0.0
    assert all(p.cost != 3.0 for p in m.routers[0].frontier.points)
    assert m.oracle.quality_only.calls["dear"].value == 0.0  # never the dearer of two equal results
    assert m.models_alone.reach[1.0].value == 1.0


def test_measures_refuse_predictions_that_do_not_fit_the_set():
    s = hand_set()
    with pytest.raises(ValueError, match="'D'"):
        measure(s, [Predictions("r", ("A", "D"), [[0, 0]] * 3, [[1, 1]] * 3)], resamples=1)
    with pytest.raises(ValueError, match="2 prompts"):
        measure(s, [Predictions("r", ("A", "B"), [[0, 0]] * 2, [[1, 1]] * 2)], resamples=1)
    huge = ModelSet("huge", ("A", "B"), ["x"], [[1e101, 0.0]], [[1.0, 1.0]], "outcome costs", ())
    with pytest.raises(ValueError, match="a result larger than 1e\\+100"):
        measure(huge, [], resamples=1)
    with pytest.raises(ValueError, match="prompt 1's predictions"):
        measure(s, [Predictions("r", ("A", "B"), [[0, 0], [0, math.inf], [0, 0]], [[1, 1]] * 3)], resamples=1)
    other = ModelSet("other", ("A", "C"), ["x"], [[1.0, 0.0]], [[1.0, 1.0]], "outcome costs", ())
    with pytest.raises(ValueError, match="same models"):
        pool([s, other])
    priced = ModelSet("priced", s.models, ["x"], [[1.0, 0.0, 0.0]], [[1.0, 1.0, 1.0]], "prices file", ())
    with pytest.raises(ValueError, match="costs of one kind"):
        pool([s, priced])


def test_a_router_of_fewer_models_than_the_set_chooses_among_its_own():
    s = hand_set()
    m = measure(s, [Predictions("two", ("C", "A"), [[q[2], q[0]] for q in QUALITIES], [[1.0, 4.0]] * 3, 0.0)],
                resamples=5)
    router = m.routers[0]
    assert router.operating.calls["B"].value == 0.0
    assert set(router.frontier.start) <= {0, 2}
    assert router.hull.aiq.value >= m.models_alone.aiq.value


# --- outcome files with many models, and their costs -----------------------------------------

def write(path, lines):
    path.write_text("".join(json.dumps(line) + "\n" for line in lines))
    return str(path)


def test_reading_every_model_named(tmp_path):
    lines = [{"prompt": f"p{i}", "scores": {"a": i % 2, "b": 1, "c": 0.5}, "costs": {"a": 1, "b": 2, "c": 3}}
             for i in range(3)]
    path = write(tmp_path / "o.jsonl", lines)
    every = read_outcomes(path, models="all")
    assert every.chosen == ["a", "b", "c"] and every.results == [[0.0, 1.0, 0.5], [1.0, 1.0, 0.5], [0.0, 1.0, 0.5]]
    assert every.costs == [[1.0, 2.0, 3.0]] * 3 and every.strong == [] and every.strong_model == ""
    some = read_outcomes(path, models=["c", "a"])
    assert some.chosen == ["c", "a"] and some.results[1] == [0.5, 1.0]
    csv = tmp_path / "o.csv"
    csv.write_text("prompt,id,a,b\nfirst,1,True,0\nsecond,2,0,1\n")
    read = read_outcomes(str(csv), models="all")
    assert read.chosen == ["a", "b"] and read.results == [[1.0, 0.0], [0.0, 1.0]] and read.costs is None
    pair = read_outcomes(path, strong="b", weak="a")  # the two-model reading is as it was
    assert pair.results is None and pair.chosen == ["b", "a"] and pair.strong == [1.0] * 3
    with pytest.raises(ValueError):
        read_outcomes(path, strong="b", weak="a", models="all")
    with pytest.raises(ValueError):
        read_outcomes(path)


@pytest.mark.parametrize("models, lines, problem", [
    (["a"], [{"prompt": "x", "scores": {"a": 1, "b": 0}}], "models needs at least two models to choose between, not 'a'"),
    ("all", [{"prompt": "x", "scores": {"a": 1}}], "line 1: models needs at least two"),
    (["a", "b", "a"], [{"prompt": "x", "scores": {"a": 1, "b": 0}}], "the model 'a' is named twice in models"),
    (["a", "z"], [{"prompt": "x", "scores": {"a": 1, "b": 0}}], "line 1: unknown model 'z' in models"),
    ("all", [{"prompt": "x", "scores": {"a": 1, "b": 0}}, {"prompt": "y", "scores": {"a": 1}}],
     "line 2: no result for 'b'"),
    ("all", [{"prompt": "x", "scores": {"a": 1, "b": 1e999}}], "line 1: the result for 'b' is inf, not a number"),
    ("all", [{"prompt": "x", "scores": {"a": 1, "b": 0}, "costs": {"a": 1, "b": -1}}], "the cost for 'b' is below 0"),
    ("all", [{"prompt": "x", "scores": {"a": 1, "b": 0}, "costs": {"a": 1}}], "line 1: no cost for 'b'"),
    ("all", [{"prompt": "x", "scores": {"a": 1, "b": 0}, "costs": {"a": 1, "b": 1}},
             {"prompt": "y", "scores": {"a": 1, "b": 0}}], "line 2: no \"costs\" on line 2, but on line 1"),
])
def test_bad_many_model_files_are_one_line_naming_file_and_line(tmp_path, models, lines, problem):
    path = tmp_path / "o.jsonl"
    text = "".join(json.dumps(line) + "\n" for line in lines).replace("Infinity", "1e999")
    path.write_text(text)
    with pytest.raises(OutcomeProblem) as raised:
        read_outcomes(str(path), models=models)
    assert str(raised.value).startswith(repr(str(path))) and problem in str(raised.value)
    assert "\n" not in str(raised.value)


def test_a_csv_header_for_many_models(tmp_path):
    path = tmp_path / "o.csv"
    path.write_text("prompt,a,a,b\nx,1,0,1\n")
    with pytest.raises(OutcomeProblem, match="the column \"a\" is in the header twice"):
        read_outcomes(str(path), models="all")
    path.write_text("prompt,a\nx,1\n")
    with pytest.raises(OutcomeProblem, match="line 1: models needs at least two"):
        read_outcomes(str(path), models="all")
    with pytest.raises(OutcomeProblem, match="unknown model 'b' in --models"):
        read_outcomes(str(path), models=["a", "b"], setting_names={"models": "--models"})


def test_costs_from_the_file_else_prices_else_the_catalogue(tmp_path):
    text = "explain the proof in detail " * 3
    costed = read_outcomes(write(tmp_path / "c.jsonl", [
        {"prompt": text, "scores": {"x": 1, "y": 0}, "costs": {"x": 0.5, "y": 0.25}}]), models="all")
    assert prompt_costs(costed, Prices.catalogue()).source == "outcome costs"  # the file's own come first
    plain = tmp_path / "p.jsonl"
    write(plain, [{"prompt": text, "scores": {"claude-opus": 1, "claude-haiku": 0}}])
    outcomes = read_outcomes(str(plain), models="all")
    tokens = estimate_input_tokens(text)
    catalogue = prompt_costs(outcomes)
    assert catalogue.source == "catalogue" and catalogue.estimated
    assert catalogue.rows == [[task_cost("claude-opus", tokens, ESTIMATED_OUTPUT_TOKENS),
                               task_cost("claude-haiku", tokens, ESTIMATED_OUTPUT_TOKENS)]]
    prices = Prices({"claude-opus": (1.0, 2.0), "claude-haiku": (0.5, 0.0), "gpt-5.2": (3.0, 3.0)},
                    source="p.toml", as_of="2025-06-01")
    filed = prompt_costs(outcomes, prices)
    assert filed.source == "prices file" and filed.detail == "p.toml (as of 2025-06-01)"
    assert filed.rows == [[(tokens * 1.0 + ESTIMATED_OUTPUT_TOKENS * 2.0) / 1000, tokens * 0.5 / 1000]]
    other = read_outcomes(write(tmp_path / "o.jsonl", [{"prompt": text, "scores": {"big": 1, "small": 0}}]),
                          models="all")
    with pytest.raises(MissingPrices) as missing:
        prompt_costs(other)
    assert missing.value.models == ["big", "small"] and "no price for 'big', 'small'" in str(missing.value)
    mapped = prompt_costs(other, prices, keys={"big": "gpt-5.2", "small": "claude-haiku"})
    assert mapped.rows == [[task_cost("gpt-5.2", tokens, ESTIMATED_OUTPUT_TOKENS, prices),
                            task_cost("claude-haiku", tokens, ESTIMATED_OUTPUT_TOKENS, prices)]]


def test_intervals_are_reproducible_and_resampled_from_the_seed():
    rng = random.Random(2)
    n = 80
    results = [[float(rng.random() < p) for p in (0.9, 0.6, 0.3)] for _ in range(n)]
    s = ModelSet("r", ("a", "b", "c"), [""] * n, results, [[3.0, 1.0, 0.2]] * n, "outcome costs", ())
    noisy = Predictions("noisy", s.models, [[r + rng.uniform(-0.6, 0.6) for r in row] for row in results],
                        [[3.0, 1.0, 0.2]] * n, 0.1)
    told = []
    first = measure(s, [noisy], resamples=64, seed=7, progress=told.append)
    assert told == [16, 32, 48, 64]
    again = measure(s, [noisy], resamples=64, seed=7)
    other = measure(s, [noisy], resamples=64, seed=8)
    assert first.as_json() == again.as_json() and first.as_json() != other.as_json()
    aiq_ = first.routers[0].hull.aiq
    assert aiq_.low < aiq_.value < aiq_.high
