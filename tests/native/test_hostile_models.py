"""Hostile callers of the native parts of many-model routing: the fitted routers' scorers
(halvec._fitted) and the bootstrap kernel (halvec._quality) given numbers whose sums are
not sure to be finite, which must be refused rather than measured into NaN."""

import math

import pytest

from halvec import _fitted, _quality

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


# --- the bootstrap kernel ----------------------------------------------------------------------

def kernel(results, costs, frontiers=(), choices=(), targets=(0.95,)):
    """A kernel of the rows given (one a prompt)."""
    return _quality.Resampler(len(results), len(results[0]), [v for row in results for v in row],
                              [v for row in costs for v in row], list(frontiers), list(choices), list(targets))


def test_the_kernel_refuses_numbers_whose_sums_could_be_infinite():
    # +1e308 and -1e308, each taken twice: +inf and -inf, whose sum is NaN
    results = [[0.5] * 20, [0.25] * 20]
    costs = [[1e308 if m % 2 else 1.0 for m in range(20)], [-1e308 if m % 2 else 2.0 for m in range(20)]]
    with pytest.raises(ValueError, match="costs must hold finite numbers, none larger than 1e150"):
        kernel(results, costs)
    with pytest.raises(ValueError, match="results must hold finite numbers, none larger"):
        kernel(costs, results)
    start, change = [0.0, 0.0], [1e300]
    for frontier in [([1e300, 0.0], start, [0], [0.0], [0.0], [1]), (start, start, [0], change, [0.0], [1]),
                     (start, start, [0], [0.0], change, [1])]:
        with pytest.raises(ValueError, match="none larger than 1e150"):
            kernel([[0.0, 1.0]] * 2, [[1.0, 2.0]] * 2, [frontier])


def test_the_kernels_largest_numbers_give_finite_figures():
    big = 1e150
    results = [[big, -big, 0.0], [-big, big, 1.0]]
    costs = [[big, 0.0, -big], [big, big, big]]
    frontier = ([big, -big], [-big, big], [0, 1], [-big, big], [big, -big], [1, 2])
    measured = kernel(results, costs, [frontier], [[0, 1]], [0.95, 1e300]).figures([2**52, 2**52])
    models, hulls, starts, choices = measured
    numbers = [v for point in models + starts + [point for point, _ in choices] for v in point]
    numbers += [v for aiq, reach in hulls for v in (aiq, *reach) if v is not None]
    assert all(math.isfinite(v) for v in numbers)


# --- the count terms' sequences ---------------------------------------------------------------

class MadeAfresh:
    """(weights, mean, scale) as a sequence whose weights are a new list each time they are
    asked for, held by nothing else once given."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 0:
            return [float(w) for w in (0.5, 0.25)]
        if i in (1, 2):
            return float(i)
        raise IndexError(i)


class OddFloat:
    """A mean that empties the lists the scorer reads when it is converted."""

    def __init__(self, *lists):
        self.lists = lists

    def __float__(self):
        for listed in self.lists:
            listed.clear()
        return 0.0


def test_count_terms_are_held_while_they_are_read():
    # the weights were read through a pointer to a list already freed
    with pytest.raises(TypeError, match="words' terms must be a tuple"):
        model_scorer(words=MadeAfresh())
    listed = model_scorer(words=list(MadeAfresh()))
    assert listed.qualities("") == model_scorer(words=([0.5, 0.25], 1.0, 2.0)).qualities("")
    with pytest.raises(TypeError, match="characters' terms must be a tuple"):
        model_scorer(characters=([0.0, 0.0], 0.0))
    weights, intercepts = [0.0, 0.0], [0.0, 1.0]
    with pytest.raises(ValueError, match="must hold 2 numbers"):
        model_scorer(words=(weights, OddFloat(weights, intercepts), 1.0), intercepts=intercepts)
    assert model_scorer(words=([0.0, 0.0], 1, True)).qualities("x") == model_scorer().qualities("x")


def test_the_kernel_checks_every_lists_length_before_it_makes_room():
    # room for 2**32 - 1 prompts of 1000 models was asked for before the lists were looked at
    # (32 TB: a MemoryError, where the sanitizers' allocator stops the process)
    huge = 2**32 - 1
    for frontiers, choices in [([], []), ([([0.0], [0.0], [], [], [], [])], []), ([], [[0]])]:
        with pytest.raises(ValueError, match="must hold 4294967295000 items, not 1"):
            _quality.Resampler(huge, 1000, [0.0], [0.0], frontiers, choices, [])
    one = ([0.0], [0.0], [], [], [], [])
    for frontier in [([0.0] * 2, *one[1:]), (one[0], [], *one[2:]), (*one[:3], [1.0], *one[4:])]:
        with pytest.raises(ValueError, match="must hold"):
            _quality.Resampler(1, 1, [0.0], [0.0], [frontier], [], [])
    with pytest.raises(ValueError, match="a choice must hold 1 items, not 2"):
        _quality.Resampler(1, 1, [0.0], [0.0], [], [[0, 0]], [])
    assert _quality.Resampler(1, 1, [0.0], [0.0], [one], [[0]], []).figures([3])[0] == [(0.0, 0.0)]
