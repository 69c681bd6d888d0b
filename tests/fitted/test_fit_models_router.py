"""Fitting routers of many models (needs scikit-learn, the extra halvec[fit]; skipped without it):
planted structure is found (a keyword only one model handles, equal results at different prices),
the native results equal the fitted model's, each form of the model does what it says, prices are
made as the measures cost prompts, the trade-off is placed where it was asked, and the data's
warnings and refusals are said as data."""

import json
import math
import os
import random

import pytest
from hypothesis import given, strategies as st

for _name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_name, "1")

pytest.importorskip("sklearn")

import numpy  # noqa: E402

from halvec.evaluation import ESTIMATED_OUTPUT_TOKENS, Prices, estimate_input_tokens  # noqa: E402
from halvec.fitted import FittedRouter, fit_models, pricing  # noqa: E402
from halvec.fitted.fitting import RepeatedPrompts, TooFewPrompts, TooFewTexts  # noqa: E402
from halvec.fitted.fitting_models import (FewPrompts, PricesUnused, Target, TargetMissed,  # noqa: E402
                                          fit_models_router)
from halvec.fitted.models_file import Prices as FilePrices, Tradeoff  # noqa: E402
from halvec.fitted.router_file import dumps, parse  # noqa: E402
from halvec.quality.costs import MissingPrices, prompt_costs  # noqa: E402
from halvec.quality.models import ModelSet, Predictions  # noqa: E402
from halvec.quality.outcomes import read_outcomes  # noqa: E402
from halvec.quality.paired import compare  # noqa: E402

MODELS = ("small", "coder", "large")
PRICES = {"small": 0.001, "coder": 0.004, "large": 0.02}
WORDS = "the a of to town river list name open close fetch city sum odd é 東京 x_1".split()


def planted(n=600, seed=5, models=MODELS, costs=True):
    """Records: "regex" prompts only the coder and the large model get right, "prove" prompts only
    the large one; on the rest the three do equally well (the cheap one is enough)."""
    rng = random.Random(seed)
    small, coder, large = models
    records = []
    for i in range(n):
        words = rng.choices(WORDS, k=rng.randint(2, 10))
        kind = ("regex", "prove", None)[i % 4] if i % 4 < 2 else None
        if kind:
            words.insert(rng.randrange(len(words) + 1), kind)
        result = float(rng.random() < 0.7)
        scores = {small: 0.0 if kind else result, coder: 1.0 if kind == "regex" else 0.0 if kind else result,
                  large: 1.0 if kind else result}
        record = {"prompt": " ".join(words) + rng.choice(["", "?", f" {rng.randint(1, 99)}"]), "scores": scores}
        if costs:
            record["costs"] = {small: PRICES["small"], coder: PRICES["coder"], large: PRICES["large"]}
        records.append(record)
    return records


def write(tmp_path, records, name="outcomes.jsonl"):
    path = tmp_path / name
    path.write_text("".join(json.dumps(r) + "\n" for r in records), encoding="utf-8")
    return str(path)


@pytest.fixture(scope="module")
def fitted(tmp_path_factory):
    path = write(tmp_path_factory.mktemp("planted"), planted())
    outcomes = read_outcomes(path, models="all")
    return outcomes, fit_models_router([outcomes], name="planted", folds=5, resamples=100)


def test_planted_structure_is_found_and_beats_the_models_alone(fitted):
    _, result = fitted
    overall = result.report.overall
    router, alone = overall.routers[0], overall.models_alone
    assert overall.best_model == "large"
    assert router.hull.aiq.value > alone.aiq.value + 0.05
    assert router.hull.reach[0.95].value < 0.5 * alone.reach[0.95].value
    assert router.gap_recovered.value is None  # the large model is never beaten: no gap to the oracle
    fresh = [r["prompt"] for r in planted(200, seed=77)]
    for word, model in (("regex", "coder"), ("prove", "large")):
        chosen = result.router.choose_batch([text for text in fresh if word in text.split()])
        assert chosen.count(model) > 0.9 * len(chosen)
    point = router.operating
    assert point.result.value >= 0.95 * next(s.result.value for s in overall.single if s.model == "large")
    assert point.calls["large"].value < 0.5 and point.calls["coder"].value > 0.25


def test_of_two_models_with_the_same_results_the_cheap_one_is_chosen(tmp_path):
    records = planted(500, seed=6)
    for r in records:
        r["scores"]["twin"] = r["scores"]["large"]
        r["costs"]["twin"] = 0.1 * PRICES["large"]
    outcomes = read_outcomes(write(tmp_path, records), models=["large", "twin"])
    result = fit_models_router([outcomes], folds=3, resamples=50)
    overall = result.report.overall
    assert overall.best_model == "twin" and overall.routers[0].operating.calls["twin"].value == 1.0
    assert set(result.router.choose_batch(outcomes.texts, tradeoff=0.0)) == {"twin"}
    assert overall.routers[0].hull.reach[1.0].value == overall.models_alone.reach[1.0].value == 1.0


def test_the_report_has_each_fold_the_whole_and_a_stable_json_form(fitted):
    outcomes, result = fitted
    report = result.report
    assert [s.name for s in report.by_fold] == [f"fold {k}" for k in range(1, 6)] and report.by_file == []
    assert sum(s.prompts for s in report.by_fold) == report.overall.prompts == len(outcomes)
    document = json.loads(json.dumps(report.as_json(), allow_nan=False))
    assert list(document) == ["models", "prompts", "folds", "seed", "resamples", "settings", "prices", "placed",
                              "by_fold", "by_file", "overall"]
    assert document["models"] == list(MODELS) and len(document["by_fold"]) == 5
    assert document["prices"]["source"] == "outcome costs" and document["prices"]["form"] == "mean"
    assert document["placed"]["chosen_by"] == "target_share" and document["placed"]["reached"] is True
    assert [row["kind"] for row in document["overall"]["rows"]][:3] == ["router", "models alone", "oracle"]


def test_the_file_records_what_it_was_fitted_on_and_reads_back(fitted):
    outcomes, result = fitted
    spec = parse(dumps(result.spec))
    assert spec.models == MODELS and spec.prices.source == "outcome costs"
    assert spec.prices.per_prompt == pytest.approx([PRICES[m] for m in MODELS])
    assert spec.tradeoff.chosen_by == "target_share" and spec.tradeoff.target == 0.95
    assert spec.tradeoff.value == result.report.placed.tradeoff > 0
    fitted_on = spec.fitted_on
    assert fitted_on["settings"]["alpha"] == 30.0 and fitted_on["settings"]["form"] == "ridge"
    assert fitted_on["alphas"] == [30.0] * 3 and fitted_on["folds"] == 5 and fitted_on["prompts"] == 600
    assert fitted_on["prices"]["form"] == "mean" and fitted_on["cross_validated"]["best_model"] == "large"
    assert fitted_on["prompt_digest"]["distinct"] == len(set(outcomes.texts))
    assert 0 < fitted_on["coverage"]["mean"] <= 1 and spec.catalogue == {}
    assert FittedRouter(spec).provenance.fitted_share(outcomes.texts[:10]) == 1.0


generated = st.text(alphabet=st.sampled_from(list("regx provethaü é東京_1?%.\t\n0123456789") + [" "]), max_size=60) | \
    st.lists(st.sampled_from(WORDS + ["regex", "PROVE", "12", "\u00a0"]), max_size=20).map(" ".join)


@pytest.fixture(scope="module")
def model_and_router():
    records = planted(300)
    texts = [r["prompt"] for r in records]
    results = [[r["scores"][m] for m in MODELS] for r in records]
    model = fit_models.fit(texts, results, fit_models.ModelSettings(alpha=3.0))
    spec = fit_models.spec_of(model, name="p", models=MODELS, prices=FilePrices((0.001, 0.004, 0.02), (0.0,) * 3,
                                                                                "outcome costs"),
                              tradeoff=Tradeoff(10.0, "tradeoff"), catalogue={}, fitted_on={})
    return model, FittedRouter(parse(dumps(spec)))


@given(st.lists(generated, min_size=1, max_size=6))
def test_the_native_results_are_the_fitted_models(model_and_router, batch):
    model, router = model_and_router
    for native, library in zip(router.qualities_batch(batch), model.predict(batch)):
        for a, b in zip(native, library):
            assert math.isclose(a, float(b), rel_tol=1e-9, abs_tol=1e-12)


def test_a_joint_models_shared_part_never_changes_a_choice():
    """The models' mean fitted at one penalty adds the same to every model: the choices at every
    trade-off are those of a ridge a model at the deviations' penalty (their results are not; the
    two agree to the tolerance of scikit-learn's iterative solver)."""
    records = planted(200, seed=8)
    texts = [r["prompt"] for r in records]
    results = numpy.array([[r["scores"][m] for m in MODELS] for r in records])
    joint = fit_models.fit(texts, results, fit_models.ModelSettings(alpha=3.0, deviation_alpha=100.0))
    plain = fit_models.fit(texts, results, fit_models.ModelSettings(alpha=100.0))
    probe = [r["prompt"] for r in planted(50, seed=9)]
    a, b = joint.predict(probe), plain.predict(probe)
    assert not numpy.allclose(a, b)
    assert numpy.allclose(a - a.mean(axis=1, keepdims=True), b - b.mean(axis=1, keepdims=True), atol=1e-3)
    assert joint.alphas == (100.0,) * 3


def test_each_model_gets_the_penalty_its_own_data_asks_for():
    """A model whose results follow a word gets a light penalty; one whose results are noise the
    heaviest on offer."""
    rng = random.Random(2)
    texts, results = [], []
    for i in range(400):
        words = rng.choices(WORDS, k=6)
        texts.append(" ".join(words))
        results.append([1.0 if "town" in words else 0.0, float(rng.random() < 0.5)])
    settings = fit_models.ModelSettings(alphas=(0.3, 1000.0))
    model = fit_models.fit(texts, results, settings)
    assert model.alphas == (0.3, 1000.0)
    predicted, fold_of = fit_models.cross_validate(texts, results, folds=4, seed=0, settings=settings)
    assert predicted.shape == (400, 2) and sorted(set(fold_of.tolist())) == [0, 1, 2, 3]
    with pytest.raises(ValueError, match="two forms"):
        fit_models.ModelSettings(alphas=(1.0,), deviation_alpha=3.0)
    with pytest.raises(ValueError, match="above 0"):
        fit_models.ModelSettings(alpha=0.0)


def test_prices_are_made_as_the_measures_cost_prompts(tmp_path):
    texts = ["short", "a longer prompt " * 20, "東京 " * 30]
    prices = Prices({"cheap": (0.001, 0.002), "dear": (0.03, 0.06)}, source="p.toml")
    listed = pricing.listed(("dear", "cheap"), prices)
    tokens = pricing.input_tokens(texts)
    for row, text in zip(listed.of(tokens), texts):
        t = estimate_input_tokens(text)
        assert row.tolist() == pytest.approx([(t * p[0] + ESTIMATED_OUTPUT_TOKENS * p[1]) / 1000
                                              for p in (prices.per_1k["dear"], prices.per_1k["cheap"])])
    # costs exactly linear in the input tokens are recovered; costs that fall with length get no
    # negative price per token
    lengths = numpy.array([10.0, 50.0, 200.0, 400.0])
    exact = pricing.by_length(numpy.column_stack([0.002 + 1e-5 * lengths, 0.05 - 1e-4 * lengths]), lengths)
    assert exact.per_prompt[0] == pytest.approx(0.002) and exact.per_input_token[0] == pytest.approx(1e-5)
    assert exact.per_input_token[1] == 0.0 and exact.per_prompt[1] == pytest.approx(0.05 - 1e-4 * lengths.mean())
    assert pricing.mean([[1.0, 2.0], [3.0, 4.0]]).per_prompt == (2.0, 3.0)


def test_a_router_compared_with_itself_differs_by_nothing_and_a_better_one_clearly(fitted):
    outcomes, result = fitted
    data = ModelSet.of(outcomes, prompt_costs(outcomes))
    predicted = result.report.predicted
    prices = [[PRICES[m] for m in MODELS]] * len(data)
    noise = numpy.random.default_rng(0).random((len(data), 3)).tolist()
    same, other, worse = compare(data, [Predictions("a", MODELS, predicted, prices),
                                        Predictions("b", MODELS, predicted, prices),
                                        Predictions("noise", MODELS, noise, prices)], resamples=200)
    assert other.difference.value == other.difference.low == other.difference.high == 0.0
    assert same.aiq == other.aiq and same.aiq.value == result.report.overall.routers[0].hull.aiq.value
    assert worse.difference.high < 0


def test_prices_by_length_are_kept_only_where_they_measure_better(tmp_path):
    # every prompt costs the same with a model: a price by length adds nothing, and is not kept
    outcomes = read_outcomes(write(tmp_path, planted(500)), models="all")
    result = fit_models_router([outcomes], folds=3, resamples=100)
    assert result.report.prices.model.form == "mean" and result.report.prices.gain.value == 0.0
    assert set(result.report.prices.compared) == {"mean", "by length"}


def test_a_price_by_length_is_kept_where_the_order_of_prices_turns_with_length(tmp_path):
    # "metered" costs a hundredth of a cent a token, "flat" a cent whatever the length, and does
    # better: metered is cheaper on the mean, but only short prompts make it so, which a mean
    # price cannot tell
    rng = random.Random(3)
    records = []
    for i in range(400):
        text = f"{i} " + " ".join(rng.choices(WORDS, k=rng.choice([2, 3, 4] * 3 + [300])))
        tokens = estimate_input_tokens(text)
        records.append({"prompt": text, "scores": {"metered": 0.7, "flat": 1.0},
                        "costs": {"metered": 0.0001 * tokens, "flat": 0.01}})
    result = fit_models_router([read_outcomes(write(tmp_path, records), models="all")], folds=3, resamples=200,
                               least=100)
    prices = result.report.prices
    assert prices.model.form == "by length" and prices.gain.low > 0
    assert prices.compared["by length"].value > prices.compared["mean"].value
    spec = result.spec.prices
    assert spec.per_input_token == pytest.approx([0.0001, 0.0], rel=1e-6, abs=1e-15)
    assert spec.per_prompt[1] == pytest.approx(0.01, rel=1e-6)
    assert result.router.choose("the town") == "metered" and result.router.choose("the town " * 200) == "flat"


def test_the_trade_off_is_placed_where_asked(tmp_path):
    outcomes = read_outcomes(write(tmp_path, planted(500)), models="all")
    single = {m: sum(r[k] for r in outcomes.results) / len(outcomes) for k, m in enumerate(MODELS)}
    told = []
    for target in (Target.share(0.9), Target.budget(0.006), Target.tradeoff(3.0), Target.share(1.5),
                   Target.budget(0.0001)):
        result = fit_models_router([outcomes], folds=3, resamples=20, target=target, warn=told.append)
        placed = result.report.placed
        assert result.spec.tradeoff.chosen_by == target.chosen_by
        if target.chosen_by == "target_share" and placed.reached:
            assert placed.point.result >= 0.9 * single["large"]
        elif target.chosen_by == "budget" and placed.reached:
            assert placed.point.cost <= 0.006
        elif target.chosen_by == "tradeoff":
            assert placed.tradeoff == 3.0 and result.spec.tradeoff.target is None
        else:
            assert told and told[-1] == TargetMissed(target, placed.point)
    assert [type(w) for w in told] == [TargetMissed, TargetMissed]
    assert told[0].point.result == max(p.result for p in
                                       fit_models_router([outcomes], folds=3, resamples=1).report.overall.routers[0]
                                       .frontier.points)


def test_what_the_data_warns_of_and_what_it_cannot_be_fitted_on(tmp_path):
    records = planted(300)
    told = []
    path = write(tmp_path, records + records[:20])
    outcomes = read_outcomes(path, models="all")
    with pytest.raises(TooFewPrompts, match="needs at least 500"):
        fit_models_router([outcomes])
    result = fit_models_router([outcomes], least=300, folds=3, resamples=10, warn=told.append,
                               prices=Prices({m: (1.0, 1.0) for m in MODELS}))
    assert [type(w) for w in told] == [RepeatedPrompts, FewPrompts, PricesUnused]
    assert told[1].prompts == 320 and told[1].least == 500 and result.warnings == told
    with pytest.raises(TooFewTexts):
        fit_models_router([read_outcomes(write(tmp_path, records[:3], "three.jsonl"), models="all")], least=1)
    uncosted = read_outcomes(write(tmp_path, planted(40, costs=False), "plain.jsonl"), models="all")
    with pytest.raises(MissingPrices, match="no price for 'small', 'coder', 'large'"):
        fit_models_router([uncosted], least=10, folds=2)
    other = read_outcomes(write(tmp_path, planted(40, models=("a", "b", "c")), "other.jsonl"), models="all")
    with pytest.raises(ValueError, match="need the same models"):
        fit_models_router([outcomes, other], least=10)
    with pytest.raises(ValueError, match="read it with models"):
        fit_models_router([read_outcomes(path, strong="large", weak="small")], least=10)


def test_models_named_by_catalogue_keys_are_priced_by_it_and_mapped(tmp_path):
    keys = ("claude-haiku", "claude-sonnet", "claude-opus")
    outcomes = read_outcomes(write(tmp_path, planted(120, models=keys, costs=False)), models="all")
    result = fit_models_router([outcomes], least=100, folds=3, resamples=10)
    spec = result.spec
    assert spec.prices.source == "catalogue" and spec.catalogue == {k: k for k in keys}
    assert spec.prices.per_input_token[2] == pytest.approx(0.015 / 1000)
    assert result.router.tier("prove the sum is odd") in {"complex", "moderate", "simple"}
    # a mapping to catalogue keys, for models of other names
    named = read_outcomes(write(tmp_path, planted(120, costs=False), "named.jsonl"), models="all")
    mapped = fit_models_router([named], least=100, folds=3, resamples=10,
                               keys={"small": "claude-haiku", "large": "claude-opus", "coder": "claude-sonnet"})
    assert mapped.spec.catalogue == {"small": "claude-haiku", "coder": "claude-sonnet", "large": "claude-opus"}
