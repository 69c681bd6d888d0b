"""The routing-quality measures on small synthetic outcome sets whose answers are known."""

import math
import random

import pytest
from hypothesis import given
from hypothesis import strategies as st

from halvec.quality import metrics
from halvec.quality.metrics import NoGap, apgr, bootstrap_apgr, cpt, operating_point, quality_curve


def _planted(n=400, seed=1):
    """Prompts where a keyword decides: with it the strong model wins, without it both models
    give the same (random) result."""
    rng = random.Random(seed)
    texts, strong, weak = [], [], []
    for i in range(n):
        if rng.random() < 0.3:
            texts.append(f"prove the lemma {i}")
            strong.append(1.0)
            weak.append(0.0)
        else:
            result = float(rng.random() < 0.6)
            texts.append(f"name the capital {i}")
            strong.append(result)
            weak.append(result)
    return texts, strong, weak


def test_hand_worked_curve_with_a_tie():
    # gains 1, (1, 0) tied, 0: the tied pair is a straight segment over half the axis
    scores, strong, weak = [3, 2, 2, 1], [1.0, 1.0, 0.0, 1.0], [0.0, 0.0, 0.0, 1.0]
    curve = quality_curve(scores, strong, weak)
    assert curve.points == ((0.0, 0.25), (0.25, 0.5), (0.75, 0.75), (1.0, 0.75))
    assert (curve.q_weak, curve.q_strong) == (0.25, 0.75)
    assert curve.apgr() == apgr(scores, strong, weak) == 0.6875
    assert cpt(scores, strong, weak, 0.5) == 0.25  # reached at a point
    assert cpt(scores, strong, weak, 0.8) == pytest.approx(0.55)  # on the tied segment
    assert (curve.cpt(0.0), curve.cpt(1.0)) == (0.0, 0.75)
    assert curve.quality_at(0.5) == pytest.approx(0.625)
    with pytest.raises(ValueError):
        curve.cpt(1.5)


@pytest.mark.parametrize("n", [1, 7, 1000])
def test_a_constant_score_is_random_routing(n):
    rng = random.Random(n)
    strong = [float(rng.random() < 0.8) for _ in range(n - 1)] + [1.0]
    weak = [float(rng.random() < 0.5) for _ in range(n - 1)] + [0.0]
    assert apgr([0.5] * n, strong, weak) == 0.5  # exactly
    assert cpt([0.5] * n, strong, weak, 0.8) == pytest.approx(0.8)
    interval = bootstrap_apgr([0.5] * n, strong, weak, resamples=50)
    assert (interval.low, interval.high) == (0.5, 0.5)


def test_a_scorer_that_finds_the_planted_keyword_reaches_the_oracle_curve():
    texts, strong, weak = _planted()
    oracle = quality_curve([s - w for s, w in zip(strong, weak)], strong, weak)
    found = quality_curve([float("prove" in t) for t in texts], strong, weak)
    assert found.points == oracle.points
    assert found.apgr() > 0.8
    assert found.cpt(1.0) == sum("prove" in t for t in texts) / len(texts)
    length = quality_curve([len(t) for t in texts], strong, weak)
    assert length.apgr() < 0.5  # the keyword prompts are the shorter: worse than random


def test_operating_point():
    _, strong, weak = _planted()
    mask = [s > w for s, w in zip(strong, weak)]
    point = operating_point(mask, strong, weak)
    assert point.pgr == 1.0 and point.quality == sum(strong) / len(strong)
    assert point.strong_share == sum(mask) / len(mask)
    assert operating_point([False] * len(mask), strong, weak).pgr == 0.0


def test_bad_data_is_refused():
    with pytest.raises(NoGap):
        apgr([1, 2], [1.0, 0.0], [0.0, 1.0])
    with pytest.raises(NoGap):
        operating_point([True, False], [1.0, 0.0], [0.0, 1.0])
    with pytest.raises(ValueError, match="not a finite number"):
        apgr([1.0, float("nan")], [1.0, 0.0], [0.0, 0.0])
    with pytest.raises(ValueError, match="no prompts"):
        quality_curve([], [], [])
    with pytest.raises(ValueError, match="3 scores but 2"):
        apgr([1, 2, 3], [1.0, 0.0], [0.0, 0.0])


# --- properties ------------------------------------------------------------------------------

_results = st.sampled_from([0.0, 1.0, 0.5])
_outcomes = st.lists(st.tuples(st.integers(0, 4), _results, _results), min_size=1, max_size=30).filter(
    lambda rows: sum(s for _, s, _ in rows) != sum(w for _, _, w in rows))


@given(_outcomes)
def test_ties_give_the_mean_of_the_two_ways_to_break_them(rows):
    scores, strong, weak = map(list, zip(*rows))
    n = len(rows)
    first = [s + i / (2 * n) for i, s in enumerate(scores)]  # ties broken by index, each way
    last = [s - i / (2 * n) for i, s in enumerate(scores)]
    assert apgr(scores, strong, weak) == pytest.approx(
        (apgr(first, strong, weak) + apgr(last, strong, weak)) / 2, abs=1e-9)


@given(_outcomes)
def test_apgr_is_the_ranking_s_the_oracle_bounds_it(rows):
    scores, strong, weak = map(list, zip(*rows))
    ranks = {s: r for r, s in enumerate(sorted(set(scores)))}
    value = apgr(scores, strong, weak)
    assert apgr([10.0 * ranks[s] - 3 for s in scores], strong, weak) == value
    oracle = apgr([s - w for s, w in zip(strong, weak)], strong, weak)
    gap = sum(strong) - sum(weak)
    assert (oracle >= value - 1e-9) if gap > 0 else (oracle <= value + 1e-9)


@given(_outcomes, st.integers(-1000, 1023), st.booleans())
def test_results_of_any_size_measure_alike(rows, power, mirrored):
    """Results times a power of two, up to the largest doubles (and the weak model's mirrored,
    so that the gains pass the largest double): the same ratios, the qualities scaled."""
    scores, strong, weak = map(list, zip(*rows))
    big_strong = [math.ldexp(x, power) for x in strong]
    big_weak = [math.ldexp(-x if mirrored else x, power) for x in weak]
    small_weak = [-x for x in weak] if mirrored else weak
    if sum(strong) == sum(small_weak):
        return
    mask = [score >= 2 for score in scores]
    curve, big = quality_curve(scores, strong, small_weak), quality_curve(scores, big_strong, big_weak)
    assert big.apgr() == pytest.approx(curve.apgr(), rel=1e-12)
    assert big.cpt(0.5) == pytest.approx(curve.cpt(0.5), rel=1e-12)
    assert big.quality_at(0.3) == pytest.approx(math.ldexp(curve.quality_at(0.3), power), rel=1e-12, abs=1e-300)
    point, big_point = operating_point(mask, strong, small_weak), operating_point(mask, big_strong, big_weak)
    assert big_point.pgr == pytest.approx(point.pgr, rel=1e-12)
    assert math.isfinite(big_point.quality) and math.isfinite(big.q_strong) and math.isfinite(big.q_weak)
    assert metrics.gap_sign(big_strong, big_weak) == metrics.gap_sign(strong, small_weak)


@given(_outcomes, st.data())
def test_a_resample_s_apgr_is_the_apgr_of_the_resampled_prompts(rows, data):
    scores, strong, weak = map(list, zip(*rows))
    counts = data.draw(st.lists(st.integers(0, 3), min_size=len(rows), max_size=len(rows)))
    ranking = metrics._rank(scores, strong, weak)
    cells = metrics._cells(ranking)
    per_cell = [0] * len(cells.sizes)
    for prompt, count in enumerate(counts):
        per_cell[cells.cell_of[prompt]] += count
    resampler = metrics._Resampler(cells, 0.0)
    picked = [i for i, count in enumerate(counts) for _ in range(count)]
    picked_strong, picked_weak = [strong[i] for i in picked], [weak[i] for i in picked]
    if not picked or sum(picked_strong) == sum(picked_weak):
        assert not picked or resampler.apgr(per_cell) is None
        return
    assert resampler.apgr(per_cell) == pytest.approx(apgr([scores[i] for i in picked], picked_strong,
                                                           picked_weak), abs=1e-9)


def test_bootstrap_interval():
    texts, strong, weak = _planted(n=2000)
    lengths = [len(t.split()[-1]) + (t.startswith("prove") and 0.5) for t in texts]  # few groups
    index = list(range(len(texts)))  # a group per prompt: the other way of drawing
    for scores in (lengths, index):
        interval = bootstrap_apgr(scores, strong, weak, resamples=300, seed=7)
        assert interval.low < apgr(scores, strong, weak) < interval.high and interval.resamples == 300
        assert interval.high - interval.low < 0.2
        assert bootstrap_apgr(scores, strong, weak, resamples=300, seed=7) == interval
