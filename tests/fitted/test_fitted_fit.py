"""Fitting routers (needs scikit-learn, the extra halvec[fit]; skipped without it): a planted
keyword is found, the native score equals scikit-learn's, cut points give the asked shares;
fit_router reports each file and the files pooled, and tells what the data warns of."""

import math
import os
import random

import pytest
from hypothesis import given, strategies as st

# numpy's BLAS starts worker threads when imported; one thread keeps this process one that
# halvec eval may fork (tests/evaluation/test_parallel.py runs in the same process)
for _name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_name, "1")

pytest.importorskip("sklearn")

from halvec.fitted import FittedRouter, fit as fitting, fitting as fitting_workflow  # noqa: E402
from halvec.fitted.router_file import dumps, parse  # noqa: E402
from halvec.quality.metrics import apgr  # noqa: E402
from halvec.quality.outcomes import Outcomes  # noqa: E402

VOCABULARY = ("the a of to prove that sum odd numbers square name town river city fetch list open close é ü "
              "ΣΑΣ İstanbul 東京 x_1 ünïcode").split()


def planted(n=600, seed=3):
    """Prompts with "prove" are won by the strong model; on the rest both give the same result."""
    rng = random.Random(seed)
    texts, strong, weak = [], [], []
    for i in range(n):
        words = rng.choices(VOCABULARY, k=rng.randint(3, 14))
        if i % 4 == 0:
            words.insert(rng.randrange(len(words) + 1), rng.choice(["prove", "Prove", "PROVE"]))
        else:
            words = [w for w in words if w != "prove"]
        text = " ".join(words) + rng.choice(["", "?", f" {rng.randint(1, 999)} %", "!\n"])
        result = float(rng.random() < 0.5)
        texts.append(text)
        strong.append(1.0 if "prove" in text.lower() else result)
        weak.append(0.0 if "prove" in text.lower() else result)
    return texts, strong, weak


@pytest.fixture(scope="module")
def fitted():
    texts, strong, weak = planted()
    settings = fitting.Settings()
    scores = fitting.cross_validate(texts, strong, weak, folds=5, seed=0, settings=settings)
    model = fitting.fit(texts, strong, weak, settings)
    spec = fitting.spec_of(model, settings, name="planted", cuts=fitting.cuts_for(scores, (0.5, 0.25, 0.25)),
                           fitted_on={"prompts": len(texts)})
    return texts, strong, weak, scores, model, FittedRouter(parse(dumps(spec)))


def test_a_planted_keyword_is_found(fitted):
    texts, strong, weak, scores, _, router = fitted
    oracle = apgr([s - w for s, w in zip(strong, weak)], strong, weak)
    assert apgr(scores, strong, weak) > oracle - 0.01  # cross-validated: each fold scored without it
    top = max(range(len(router.spec.ngrams)), key=router.spec.weights.__getitem__)
    assert router.spec.ngrams[top] == "prove"
    assert router.tier("Prove that the town is a city") == "complex"
    assert router.tier("name the town") == "simple"
    assert router.spec.fitted_on["settings"]["longest_ngram"] == 3


generated = st.text(alphabet=st.sampled_from(list("prove thaüé ΣİS東京x_1?%.\t\n0123456789") + [" "]), max_size=80) | \
    st.lists(st.sampled_from(VOCABULARY + ["12", "PROVE", "\u00a0", "3.5"]), max_size=25).map(" ".join)


@given(st.lists(generated, min_size=1, max_size=8))
def test_the_native_score_is_scikit_learns(fitted, batch):
    model, router = fitted[4], fitted[5]
    for text, native, library in zip(batch, router.score(batch), model.predict(batch)):
        assert math.isclose(native, float(library), rel_tol=1e-9, abs_tol=1e-12), text


def test_reading_once_fits_what_the_pipeline_fits_reading_at_each_fit():
    """The prompts read once and taken by rows give the scikit-learn pipeline's fits: the same
    n-grams kept (ranked among equals as it ranks them), the same scores, fold by fold."""
    numpy = pytest.importorskip("numpy")
    from sklearn.model_selection import KFold
    texts, strong, weak = planted(700, seed=11)
    settings = fitting.Settings(max_ngrams=150)  # fewer than the n-grams in 2 prompts: the ranking decides
    gains = numpy.array([s - w for s, w in zip(strong, weak)])
    reference = numpy.zeros(len(texts))
    for train, test in KFold(n_splits=4, shuffle=True, random_state=5).split(texts):
        pipe = fitting.pipeline(settings).fit([texts[i] for i in train], gains[train])
        reference[test] = pipe.predict([texts[i] for i in test])
    scores = fitting.cross_validate(texts, strong, weak, folds=4, seed=5, settings=settings)
    assert numpy.allclose(scores, reference, rtol=1e-9, atol=1e-12)
    model, pipe = fitting.fit(texts, strong, weak, settings), fitting.pipeline(settings).fit(texts, gains)
    vocabulary = pipe.named_steps["features"].transformer_list[0][1].vocabulary_
    assert model.ngrams == sorted(vocabulary, key=vocabulary.__getitem__) and len(model.ngrams) == 150
    assert numpy.allclose(model.predict(texts[:50]), pipe.predict(texts[:50]), rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("texts, problem", [
    ([f"w{i} v{i}" for i in range(600)], "no word or word sequence is in 2 or more of the prompts"),
    (["", " ", "\n"] * 200, "no word or word sequence is in 2 or more of the prompts"),
])
def test_prompts_with_nothing_to_learn_are_refused(texts, problem):
    strong = [float(i % 2) for i in range(len(texts))]
    weak = [0.0] * len(texts)
    for run in (lambda: fitting.fit(texts, strong, weak, fitting.Settings()),
                lambda: fitting.cross_validate(texts, strong, weak, folds=3, seed=0, settings=fitting.Settings())):
        with pytest.raises(fitting.FitProblem) as caught:
            run()
        assert "nothing to learn from" in str(caught.value)


def test_results_near_the_largest_double_fit_as_their_ranking_says():
    texts, strong, weak = planted(600, seed=4)
    big_strong = [1e308 if s > w else 0.0 for s, w in zip(strong, weak)]
    big_weak = [-1e308 if s > w else 0.0 for s, w in zip(strong, weak)]
    scores = fitting.cross_validate(texts, big_strong, big_weak, folds=3, seed=0, settings=fitting.Settings())
    assert all(map(math.isfinite, scores))
    assert apgr(scores, big_strong, big_weak) == pytest.approx(
        apgr(fitting.cross_validate(texts, strong, weak, folds=3, seed=0, settings=fitting.Settings()), strong, weak))


def test_cut_points_give_the_asked_shares():
    scores = random.Random(2).sample(range(1000), 1000)
    low, high = fitting.cuts_for(scores, (0.3, 0.5, 0.2))
    assert sum(s < low for s in scores) == 300 and sum(s >= high for s in scores) == 200
    low, high = fitting.cuts_for(scores, (0.5, 0.0, 0.5))
    assert low == high
    assert fitting.cuts_for(scores, (0.0, 0.0, 1.0))[0] == fitting.cuts_for(scores, (0.0, 1.0, 0.0))[0] == 0.5


# --- the workflow: fit_router -----------------------------------------------------------------

def _sets(texts, strong, weak, *sizes):
    """The prompts cut into outcome sets of ``sizes``, named a.jsonl, b.jsonl, ..."""
    sets, at = [], 0
    for name, size in zip("abcdef", sizes):
        sets.append(Outcomes(f"/data/{name}.jsonl", "jsonl", "big", "small", ["big", "small"], texts[at:at + size],
                             strong[at:at + size], weak[at:at + size]))
        at += size
    return sets


def test_fit_router_returns_the_router_and_its_report_per_file_and_pooled():
    texts, strong, weak = planted(700, seed=5)
    events = []
    result = fitting_workflow.fit_router(_sets(texts, strong, weak, 450, 250), name="planted", folds=3, seed=2,
                                         progress=lambda done, fits: events.append((done, fits)), warn=events.append)
    report = result.report
    assert [(row.name, row.pooled, row.prompts, row.judged) for row in report.rows] == [
        ("/data/a.jsonl", False, 450, False), ("/data/b.jsonl", False, 250, False),
        ("pooled (2 files)", True, 700, True)]
    assert report.overall is report.pooled and report.pooled.beaten_by is None
    assert report.scores == fitting.cross_validate(texts, strong, weak, folds=3, seed=2, settings=fitting.Settings())
    assert report.pooled.fitted == apgr(report.scores, strong, weak) and report.files[1].words == apgr(
        [float(len(t.split())) for t in texts[450:]], strong[450:], weak[450:])
    assert events == [(1, 4), (2, 4), (3, 4)] and result.warnings == []  # three folds of four fits
    assert result.shares == fitting_workflow.Shares.of_rules(texts)
    assert result.spec.cuts == fitting.cuts_for(report.scores, result.shares.as_tuple)
    fitted_on = result.spec.fitted_on
    assert list(fitted_on) == ["files", "strong", "weak", "field", "prompts", "repeated_prompts", "folds", "seed",
                               "cv_apgr", "rules_apgr", "words_apgr", "shares", "halvec", "libraries", "settings",
                               "prompt_digest", "coverage"]
    assert fitted_on["files"] == [{"name": "a.jsonl", **report.files[0].as_json()},
                                  {"name": "b.jsonl", **report.files[1].as_json()}]
    assert (fitted_on["cv_apgr"], fitted_on["shares"]["from"]) == (report.pooled.fitted, "the default rules' tiers")
    assert result.router.name == "planted" and result.router.score_one("prove the town") > result.router.score_one(
        "name the town")


def test_what_the_data_warns_of_is_told_as_it_is_found():
    texts, strong, weak = planted(600, seed=6)
    marks = [10 * r for r in strong[300:]], [10 * r for r in weak[300:]]  # the second file marked out of 10
    sets = _sets(texts + texts[:30], strong[:300] + marks[0] + strong[:30], weak[:300] + marks[1] + weak[:30],
                 300, 300, 30)
    events = []
    shares = fitting_workflow.Shares(0.5, 0.2, 0.3, "asked")
    result = fitting_workflow.fit_router(sets, folds=3, shares=shares, progress=lambda *told: events.append(told),
                                         warn=events.append)
    repeated, scales = fitting_workflow.RepeatedPrompts(30, 630), result.warnings[1]
    assert events[0] == repeated and events[1:4] == [(1, 4), (2, 4), (3, 4)] and events[4] is scales
    assert result.warnings == [repeated, scales] and [top for _, top in scales.largest] == [1.0, 10.0, 1.0]
    assert result.spec.fitted_on["repeated_prompts"] == 30 and result.spec.fitted_on["shares"]["from"] == "asked"
    assert result.report.files[2].judged is False


@pytest.mark.parametrize("texts, problem, figures, message", [
    (["a b"] * 499, fitting_workflow.TooFewPrompts, {"prompts": 499}, "499 prompts are too few to fit a router on"),
    (["a b", "a c"] * 300, fitting_workflow.TooFewTexts, {"prompts": 600, "distinct": 2, "folds": 3},
     "the 600 prompts hold 2 different texts: too few for 3 folds (a prompt's copies stay in one fold)"),
])
def test_prompts_too_few_are_refused_with_their_figures(texts, problem, figures, message):
    warned = []
    strong, weak = [float(i % 2) for i in range(len(texts))], [0.0] * len(texts)
    with pytest.raises(problem) as caught:
        fitting_workflow.fit_router(_sets(texts, strong, weak, len(texts)), folds=3, warn=warned.append)
    assert isinstance(caught.value, fitting.FitProblem) and str(caught.value).startswith(message)
    assert {name: getattr(caught.value, name) for name in figures} == figures and warned == []
