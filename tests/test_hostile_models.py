"""Hostile callers of the native parts of many-model routing: the fitted routers' scorers
(halvec._fitted) given numbers whose sums are not sure to be finite, which must be refused
rather than measured into NaN."""

import math

import pytest

from halvec import _fitted

TERMS = ([0.0, 0.0], 0.0, 1.0)
SCORER = dict(models=("a", "b"), ngrams=["x"], weights=[[1.0, 2.0]], idf=[1.0], longest=3, intercepts=[0.0, 1.0],
              words=TERMS, characters=TERMS, per_prompt=[0.0, 1.0], per_input_token=[0.0, 0.0])


def model_scorer(**changes):
    return _fitted.ModelScorer(**{**SCORER, **changes})


@pytest.mark.parametrize("prices", [
    {"per_prompt": [0.0, 1e308], "per_input_token": [0.0, 1e308]},   # infinite for any text
    {"per_prompt": [1e308, 0.0], "per_input_token": [1e300, 0.0]},   # infinite for a long one
    {"per_input_token": [0.0, 1e290]},                               # past 1e308 for the longest
])
def test_prices_that_could_be_infinite_are_refused(prices):
    # An infinite price times a trade-off of 0 is NaN: the choice would then go to the first
    # usable model whatever the results (here "a", whose result is the lower).
    with pytest.raises(ValueError, match="price of 'b'|price of 'a'"):
        model_scorer(**prices)


def test_the_largest_prices_allowed_still_choose_by_result():
    scorer = model_scorer(per_prompt=[1e307, 0.0], per_input_token=[0.0, 0.0])
    assert scorer.prices("x") == {"a": 1e307, "b": 0.0}
    assert scorer.choose("x", 3, 0.0) == "b" and scorer.choose("x" * 10_000, 1, 1e300) == "a"


@pytest.mark.parametrize("changes", [
    # two count terms of opposite signs, each infinite for some text: inf - inf is NaN
    {"words": ([1e308, 0.0], 0.0, 1.0), "characters": ([-1e308, 0.0], 0.0, 1.0)},
    {"words": ([1.0, 0.0], 0.0, 1e-320)},
    {"words": ([2.0, 0.0], 1e308, 1.0)},
    # terms each finite, their sum not
    {"intercepts": [1e308, 0.0], "weights": [[1e308, 0.0]]},
    {"intercepts": [0.0, 9e307], "characters": ([0.0, 1e307], 0.0, 1.0)},
])
def test_results_that_could_be_infinite_are_refused(changes):
    with pytest.raises(ValueError, match="results of model [01] could pass 1e308"):
        model_scorer(**changes)


def test_the_one_model_scorer_refuses_scores_that_could_be_infinite():
    with pytest.raises(ValueError, match="could pass 1e308"):
        _fitted.Scorer(["x"], [1.0], [1.0], 1, 0.0, (1e308, 0.0, 1.0), (-1e308, 0.0, 1.0))
    with pytest.raises(ValueError, match="could pass 1e308"):
        _fitted.Scorer(["x", "y"], [1e308, -1e308], [1.0, 1.0], 1, 0.0, (0.0, 0.0, 1.0), (0.0, 0.0, 1.0))
    scorer = _fitted.Scorer(["x", "y"], [1e307, -1e307], [1.0, 1.0], 1, 0.0, (0.0, 0.0, 1.0), (0.0, 0.0, 1.0))
    assert all(math.isfinite(score) for score in scorer.scores(["x", "y", "x y", "y" * 1000, ""]))
