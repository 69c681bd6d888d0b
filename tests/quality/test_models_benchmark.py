"""halvec.quality.models_benchmark: predictions with a fitted router's checks, what they warn of,
the measures' JSON with the checks, the per-prompt records; and the figure's thinning."""

import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

from halvec.fitted import load_router
from halvec.fitted.provenance import prompt_digest
from halvec.quality.costs import prompt_costs
from halvec.quality.frontier import Point, choose
from halvec.quality.models import ModelSet, measure_models, predict
from halvec.quality.models_benchmark import different_scales, measure, prompt_records, score
from halvec.quality.outcomes import read_outcomes
from halvec.quality.plot_models import thinned
from halvec.quality.pooling import DifferentScales, RepeatedAcrossFiles
from halvec.fitted.checks import FittedOn, Unlike

MODELS = ("large", "small")


def _file(path, prompts, *, scale=1.0):
    path.write_text("".join(json.dumps({"prompt": p, "scores": {"large": scale, "small": scale * (i % 2)},
                                        "costs": {"large": 0.01, "small": 0.001}}) + "\n"
                            for i, p in enumerate(prompts)))
    outcomes = read_outcomes(str(path), models="all")
    costs = prompt_costs(outcomes)
    return ModelSet.of(outcomes, costs), costs


def _router(path, fitted_on=None, tradeoff=10.0):
    zero = {"weights": [0.0, 0.0], "mean": 0.0, "scale": 1.0}
    path.write_text(json.dumps({
        "format": "halvec fitted router", "version": 2, "name": "r", "longest_ngram": 1, "models": list(MODELS),
        "intercepts": [0.9, 0.8], "counts": {"words": zero, "characters": {**zero, "weights": [0.0, -0.01]}},
        "prices": {"per_prompt": [0.01, 0.001], "per_input_token": [0.0, 1e-6], "source": "outcome costs"},
        "tradeoff": {"lambda": tradeoff, "chosen_by": "tradeoff"},
        "ngrams": [["hard", 1.5, [0.05, -0.6]], ["easy", 1.0, [0.0, 0.15]]], "fitted_on": fitted_on or {}}))
    return load_router(str(path))


class PerText:
    """A router that reads one text at a time (no batch forms)."""

    def __init__(self, router):
        self.models, self.qualities, self.prices = router.models, router.qualities, router.prices


@given(st.lists(st.text(st.sampled_from("hard easy x7 é\u00a0,."), max_size=40), max_size=20))
def test_a_batch_of_predictions_is_what_one_text_at_a_time_gives(tmp_path_factory, texts):
    router = _router(tmp_path_factory.mktemp("r") / "r.json")
    batch, single = predict("r", router, texts, 1.0), predict("r", PerText(router), texts, 1.0)
    assert (batch.qualities, batch.prices) == (single.qualities, single.prices)


def test_checks_pooled_and_warnings_in_order(tmp_path):
    a, a_costs = _file(tmp_path / "a.jsonl", [f"hard task {i}" for i in range(10)])
    b, b_costs = _file(tmp_path / "b.jsonl", [f"hard task {i}" for i in range(5)] + [f"zz {i}" for i in range(5)],
                       scale=10.0)
    coverage = {"prompts": 900, "without_tokens": 0, "mean": 0.9, "q1": 0.9, "median": 0.9, "q3": 0.9}
    router = _router(tmp_path / "r.json", {"prompt_digest": prompt_digest(a.texts), "coverage": coverage})
    scoring = score([a, b], [a_costs, b_costs], [("r", router, router.tradeoff)])
    kinds = [type(w) for w in scoring.warnings]
    assert kinds == [DifferentScales, RepeatedAcrossFiles, FittedOn, Unlike, FittedOn, Unlike]
    assert scoring.warnings[1] == RepeatedAcrossFiles(5) and scoring.warnings[4].share == 0.5
    (pooled,) = scoring.pooled_checks
    assert pooled.fitted_share == pytest.approx(0.75) and pooled.prompts == 20 and pooled.strong_share is None
    assert pooled.coverage.prompts == 20
    assert [item.checks.fitted_share for per_file in scoring.scored for item in per_file] == [1.0, 0.5]
    # a router without provenance has no checks, nor coverage
    plain = score([a], [a_costs], [("plain", PerText(router), None)])
    assert plain.scored[0][0].checks is None and plain.scored[0][0].coverage is None and plain.pooled_checks == [None]


def test_files_or_routers_that_cannot_go_together_are_refused_before_any_prediction(tmp_path):
    a, a_costs = _file(tmp_path / "a.jsonl", ["x", "y"])

    class Unasked:
        models = ("large", "medium")

        def qualities(self, text):
            raise AssertionError("asked")

        prices = qualities

    with pytest.raises(ValueError, match="chooses among 'medium', which the models measured lack"):
        score([a], [a_costs], [("u", Unasked(), None)])
    (tmp_path / "c.jsonl").write_text(json.dumps({"prompt": "x", "scores": {"large": 1, "small": 0}}) + "\n")
    c = read_outcomes(str(tmp_path / "c.jsonl"), models="all")
    with pytest.raises(ValueError, match="need costs of one kind"):
        score([a, ModelSet.of(c, prompt_costs(c, keys={"large": "claude-opus", "small": "claude-haiku"}))],
              [a_costs, prompt_costs(c, keys={"large": "claude-opus", "small": "claude-haiku"})],
              [("u", Unasked(), None)])


def test_different_scales():
    def of(top):
        return ModelSet("f", MODELS, ["a"], [[top, 0.0]], [[1.0, 1.0]], "outcome costs", ())

    assert different_scales([of(1.0)]) is None and different_scales([of(1.0), of(2.0)]) is None
    assert different_scales([of(1.0), of(10.0)]) == DifferentScales([("f", 1.0), ("f", 10.0)])
    assert different_scales([of(0.0), of(10.0)]) is None  # nothing to compare with


def test_the_measures_are_the_librarys_with_the_checks_on_the_routers_rows(tmp_path):
    a, a_costs = _file(tmp_path / "a.jsonl", [f"hard task {i}" if i % 2 == 0 else f"easy {i}" for i in range(30)])
    b, b_costs = _file(tmp_path / "b.jsonl", [f"easy one {i}" for i in range(20)])
    router = _router(tmp_path / "r.json", {"prompt_digest": prompt_digest(b.texts)})
    told = []
    bench = measure(score([a, b], [a_costs, b_costs], [("r", router, router.tradeoff)]), resamples=30, seed=4,
                    field="text", progress=lambda done, total: told.append((done, total)))
    plain = measure_models([a, b], [("r", router, router.tradeoff)], resamples=30, seed=4).as_json()
    document = bench.as_json()
    assert document["field"] == "text" and {total for _, total in told} == {90}  # 3 sets of 30 resamples
    assert [done for done, _ in told] == sorted({done for done, _ in told})
    for mine, theirs in zip(document["sets"], plain["sets"], strict=True):
        for row, library in zip(mine["rows"], theirs["rows"], strict=True):
            added = {key: row.pop(key) for key in ("fitted_on_share", "coverage", "fitted_coverage")}
            assert row == library
            if row["kind"] != "router":
                assert added == {"fitted_on_share": None, "coverage": None, "fitted_coverage": None}
    assert [s["rows"][0]["fitted_on_share"] for s in bench.as_json()["sets"]] == [0.0, 1.0, 0.4]
    assert [f["prices"] for f in document["files"]] == [None, None]


def test_prompt_records_choose_as_the_router_does(tmp_path):
    a, a_costs = _file(tmp_path / "a.jsonl", ["hard one", "easy one", "neither", ""])
    router = _router(tmp_path / "r.json")
    scoring = score([a], [a_costs], [("r", router, router.tradeoff), ("no point", PerText(router), None)])
    records = list(prompt_records(scoring))
    assert [r["routers"]["r"]["model"] for r in records] == [router.choose(t) for t in a.texts]
    assert all(r["routers"]["no point"]["model"] is None for r in records)
    assert records[3]["routers"]["r"]["coverage"] is None and records[3]["routers"]["no point"]["coverage"] is None
    for r, text in zip(records, a.texts):
        q, p = r["routers"]["r"]["qualities"], r["routers"]["r"]["prices"]
        assert q == router.qualities(text) and p == router.prices(text)
        assert router.models[choose(list(q.values()), list(p.values()), router.tradeoff)] == r["routers"]["r"]["model"]
    assert records[1]["results"] == {"large": 1.0, "small": 1.0} and records[1]["costs"] == {"large": 0.01,
                                                                                              "small": 0.001}


@given(st.lists(st.tuples(st.floats(0, 10), st.floats(0, 1)), min_size=1, max_size=60), st.integers(2, 12))
def test_thinning_keeps_the_ends_and_the_order(pairs, most):
    points = [Point(c, r) for c, r in pairs]
    kept = thinned(points, most)
    ordered = sorted(points, key=lambda p: (p.cost, p.result))
    assert len(kept) == min(len(points), most) and kept[0] == ordered[0] and kept[-1] == ordered[-1]
    assert kept == sorted(kept, key=lambda p: (p.cost, p.result)) and all(p in points for p in kept)
