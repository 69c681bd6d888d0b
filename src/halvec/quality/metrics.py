"""How good a router's decisions are, measured on prompts whose results are known for a strong
and a weak model.

A router gives each prompt a score (higher: send it to the strong model). Sending the top share
``x`` of the prompts to the strong model and the rest to the weak one gives a quality ``q(x)``:
the mean, over all prompts, of the result of the model each prompt went to.

- Prompts with equal scores are taken together, and the curve is a straight line across each
  such group: what a random tie-break gives on average. So a constant score is random routing,
  the straight line from ``q(0) = q_weak`` to ``q(1) = q_strong``.
- **APGR** (average performance gap recovered) is ``(integral of q over [0, 1] - q_weak) /
  (q_strong - q_weak)``: 0.5 for random routing, more for a router that sends the prompts the
  strong model does better on first.
- **CPT(p)** (call-performance threshold) is the smallest share of strong calls at which
  ``q(x) >= q_weak + p * (q_strong - q_weak)``, found within a tie group's straight segment.
- **PGR** at an operating point (a router's own choice of prompts for the strong model) is
  ``(q - q_weak) / (q_strong - q_weak)``, with that point's share of strong calls.

Everything is computed from the prompts' gains (strong result minus weak result) summed along
the ranking, so that results given as whole numbers (1.0 correct, 0.0 wrong) are summed
exactly: a constant score gives APGR exactly 0.5, and a target the curve reaches at a point is
found at that point. Results so large that their differences or sums could pass the largest
double (1e308 against -1e308) are measured all the same: their gains are scaled down by a power
of two (:func:`scaled_gains`), which APGR, CPT and PGR, all ratios of gains, do not see, and the
qualities are scaled back. :func:`bootstrap_apgr` gives APGR's 95% interval by resampling
prompts.

Pure Python: nothing here needs numpy.
"""

from __future__ import annotations

import math
import random
import sys
from array import array
from bisect import bisect_left
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from itertools import accumulate, repeat
from operator import add, itemgetter, mul, sub

__all__ = ["Curve", "Interval", "NoGap", "OperatingPoint", "apgr", "bootstrap_apgr", "cpt", "gap_sign", "mean",
           "operating_point", "quality_curve", "scaled_gains"]

# A gain total this small beside the sum of the gains' sizes is rounding, not a gap.
_GAP_TOLERANCE = 1e-12


# Results up to this size are measured as they are: n of them, and their differences, sum to
# far less than the largest double for any n a list can hold.
_LARGEST_UNSCALED = 2.0 ** 900


class NoGap(ValueError):
    """The two models' mean results are equal: there is no gap between them to recover, so
    APGR, CPT and PGR are undefined."""


# --- sums that cannot overflow ---------------------------------------------------------------

def mean(values: Sequence[float]) -> float:
    """The mean of finite ``values`` (at least one), correctly rounded where their sum fits a
    double, and still finite where it does not (two results of 1e308)."""
    n = len(values)
    try:
        return math.fsum(values) / n
    except OverflowError:  # each part is at most the largest value: their sum cannot pass it
        return math.fsum(value / n for value in values)


def scaled_gains(strong: Sequence[float], weak: Sequence[float]) -> tuple[list[float], int]:
    """Each prompt's gain (strong result minus weak result) times ``2**-shift``, and ``shift``:
    0 for results of any usual size, so the gains are exact; for results so large that the
    gains, or their sum, could pass the largest double, the power of two that brings the
    results below ``1 / (4 n)`` (exactly, but for values under 2**-1000 of the largest,
    which can then round away)."""
    largest = max(max(map(abs, strong), default=0.0), max(map(abs, weak), default=0.0))
    if largest <= _LARGEST_UNSCALED:
        return list(map(sub, strong, weak)), 0
    shift = math.frexp(largest)[1] + (4 * max(len(strong), 1)).bit_length()
    return [math.ldexp(s, -shift) - math.ldexp(w, -shift) for s, w in zip(strong, weak)], shift


def _gap_total(gains: Sequence[float]) -> float:
    """The sum of the gains, or 0.0 when it is rounding beside the sum of their sizes."""
    total = math.fsum(gains)
    return 0.0 if abs(total) <= _GAP_TOLERANCE * math.fsum(map(abs, gains)) else total


def gap_sign(strong: Sequence[float], weak: Sequence[float]) -> int:
    """1 when the strong model's mean result is above the weak one's, -1 when below, and 0
    when there is no gap to recover: the means are equal, or differ only by rounding (the
    measures would raise :class:`NoGap`)."""
    total = _gap_total(scaled_gains(strong, weak)[0])
    return (total > 0) - (total < 0)


def _unscaled_quality(q_weak: float, gain: float, n: int, shift: int) -> float:
    """``q_weak`` plus the mean of a sum of gains scaled by ``2**-shift``, in the results' units
    (the sum brought back to scale only with ``q_weak``, as a quality, which is finite)."""
    if shift == 0:
        return q_weak + gain / n
    return math.ldexp(math.ldexp(q_weak, -shift) + gain / n, shift)


# --- the curve -------------------------------------------------------------------------------

@dataclass(frozen=True, slots=True)
class Curve:
    """Quality against the share of prompts sent to the strong model, for one ranking.

    ``points`` are ``(x, q)`` at ``x = 0``, at the end of each group of equal scores and at
    ``x = 1``; the curve is straight between them. ``counts`` and ``gains`` are the same
    points exactly: the prompts sent to the strong model so far, and the sum of their gains
    (strong result minus weak result)."""

    points: tuple[tuple[float, float], ...]
    q_strong: float
    q_weak: float
    counts: tuple[int, ...] = field(repr=False)
    gains: tuple[float, ...] = field(repr=False)
    shift: int = field(default=0, repr=False)
    """The gains are scaled by ``2**-shift`` (see :func:`scaled_gains`)."""

    @property
    def prompts(self) -> int:
        return self.counts[-1]

    @property
    def gap(self) -> float:
        """``q_strong - q_weak`` (infinite only for results beyond the largest double's half)."""
        return self.q_strong - self.q_weak

    def quality_at(self, x: float) -> float:
        """``q(x)`` for a share ``x`` of strong calls, 0 to 1."""
        if not 0.0 <= x <= 1.0:
            raise ValueError(f"a share of strong calls is between 0 and 1, not {x!r}")
        n = self.prompts
        at = x * n
        g = max(1, bisect_left(self.counts, at))
        if g >= len(self.counts):  # x rounded past the last count
            g = len(self.counts) - 1
        k0, k1 = self.counts[g - 1], self.counts[g]
        c0, c1 = self.gains[g - 1], self.gains[g]
        gain = c1 if k1 == k0 else c0 + (c1 - c0) * (at - k0) / (k1 - k0)
        return _unscaled_quality(self.q_weak, gain, n, self.shift)

    def apgr(self) -> float:
        """The area under the curve, as the share of the gap it recovers (random: 0.5)."""
        total = self._total()
        counts, gains = self.counts, self.gains
        # the area above q_weak, times 2n, by trapezoids: a group of k prompts is a straight
        # segment from gains c0 to c1 over k/n of the axis
        area = math.fsum(map(mul, map(sub, counts[1:], counts[:-1]), map(add, gains[:-1], gains[1:])))
        return area / (2 * self.prompts * total)

    def cpt(self, p: float) -> float:
        """The smallest share of strong calls at which the curve recovers ``p`` of the gap
        (0 <= p <= 1); within a group of equal scores, on its straight segment."""
        if not 0.0 <= p <= 1.0:
            raise ValueError(f"a share of the gap to recover is between 0 and 1, not {p!r}")
        total = self._total()
        sign = 1.0 if total > 0 else -1.0
        target = p * abs(total)
        counts, gains = self.counts, self.gains
        for g, gain in enumerate(gains):
            c1 = sign * gain
            if c1 >= target:
                if g == 0:
                    return 0.0
                c0 = sign * gains[g - 1]  # below the target, so the segment rises
                k0, k1 = counts[g - 1], counts[g]
                return min(1.0, (k0 + (target - c0) / (c1 - c0) * (k1 - k0)) / self.prompts)
        raise AssertionError("the curve ends at q_strong, which recovers the whole gap")

    def _total(self) -> float:
        total = self.gains[-1]
        if total == 0.0:
            raise NoGap(_no_gap_text(self.q_strong, self.q_weak))
        return total


def _no_gap_text(q_strong: float, q_weak: float) -> str:
    return (f"the strong and the weak model have the same mean result ({q_strong:.6g}): "
            f"there is no gap to recover")


@dataclass(frozen=True, slots=True)
class _Ranking:
    """Prompts ranked by score, highest first, in groups of equal scores."""

    order: list[int]
    """Prompt indices, highest score first (stable: equal scores keep their order)."""
    ends: list[int]
    """The position after each group's last prompt, ascending; the last is the prompt count."""
    gains: list[float]
    """Each prompt's strong result minus weak result, by prompt index (scaled by ``2**-shift``)."""
    shift: int
    q_strong: float
    q_weak: float
    scale: float
    """The sum of the gains' sizes: what a gap total is small beside."""


def _rank(scores: Sequence[float], strong: Sequence[float], weak: Sequence[float]) -> _Ranking:
    n = len(scores)
    if len(strong) != n or len(weak) != n:
        raise ValueError(f"{n} scores but {len(strong)} strong and {len(weak)} weak results")
    if n == 0:
        raise ValueError("no prompts")
    for name, values in (("score", scores), ("strong result", strong), ("weak result", weak)):
        if not all(map(math.isfinite, values)):
            bad = next(i for i, v in enumerate(values) if not math.isfinite(v))
            raise ValueError(f"prompt {bad}: the {name} {values[bad]!r} is not a finite number")
    key = scores.__getitem__
    order = sorted(range(n), key=key, reverse=True)
    ranked = list(map(key, order))
    ends = [i for i in range(1, n) if ranked[i] != ranked[i - 1]]
    ends.append(n)
    gains, shift = scaled_gains(strong, weak)
    return _Ranking(order, ends, gains, shift, mean(strong), mean(weak), math.fsum(map(abs, gains)))


def _curve(ranking: _Ranking) -> Curve:
    n = len(ranking.order)
    ranked_gains = accumulate(map(ranking.gains.__getitem__, ranking.order), initial=0.0)
    cumulative = list(ranked_gains)
    gains = (0.0, *itemgetter(*ranking.ends)(cumulative)) if len(ranking.ends) > 1 else (0.0, cumulative[n])
    gains = (*gains[:-1], _gap_total(ranking.gains))  # the whole sum exactly, as the gap checks see it
    counts = (0, *ranking.ends)
    q_weak, q_strong, shift = ranking.q_weak, ranking.q_strong, ranking.shift
    points = [(k / n, _unscaled_quality(q_weak, c, n, shift)) for k, c in zip(counts, gains)]
    points[0], points[-1] = (0.0, q_weak), (1.0, q_strong)
    return Curve(tuple(points), q_strong, q_weak, counts, gains, shift)


def quality_curve(scores: Sequence[float], strong: Sequence[float], weak: Sequence[float]) -> Curve:
    """The quality curve of ``scores`` (higher: strong model), given each prompt's result
    with the strong and the weak model. ValueError for lengths that differ, no prompts, or a
    value that is not a finite number."""
    return _curve(_rank(scores, strong, weak))


def apgr(scores: Sequence[float], strong: Sequence[float], weak: Sequence[float]) -> float:
    """APGR of ``scores``: 0.5 for random routing (a constant score), the most for the
    oracle's ranking (gain highest first). :class:`NoGap` when the models' means are equal."""
    return quality_curve(scores, strong, weak).apgr()


def cpt(scores: Sequence[float], strong: Sequence[float], weak: Sequence[float], p: float) -> float:
    """CPT(p) of ``scores``: the smallest share of strong calls that recovers ``p`` of the gap."""
    return quality_curve(scores, strong, weak).cpt(p)


# --- an operating point ----------------------------------------------------------------------

@dataclass(frozen=True, slots=True)
class OperatingPoint:
    """A router's own choice of prompts for the strong model."""

    strong_share: float
    """The share of prompts sent to the strong model."""
    quality: float
    """The mean result, each prompt with the model it was sent to."""
    pgr: float
    """``(quality - q_weak) / (q_strong - q_weak)``: the share of the gap recovered."""


def operating_point(strong_mask: Sequence[bool], strong: Sequence[float], weak: Sequence[float]) -> OperatingPoint:
    """The operating point that sends the prompts ``strong_mask`` marks to the strong model.
    :class:`NoGap` when the models' means are equal."""
    n = len(strong_mask)
    if len(strong) != n or len(weak) != n:
        raise ValueError(f"{n} choices but {len(strong)} strong and {len(weak)} weak results")
    if n == 0:
        raise ValueError("no prompts")
    gains, shift = scaled_gains(strong, weak)
    total = _gap_total(gains)
    if total == 0.0:
        raise NoGap(_no_gap_text(mean(strong), mean(weak)))
    chosen = [gain for gain, to_strong in zip(gains, strong_mask) if to_strong]
    recovered = math.fsum(chosen)
    return OperatingPoint(len(chosen) / n, _unscaled_quality(mean(weak), recovered, n, shift), recovered / total)


# --- the bootstrap interval ------------------------------------------------------------------

@dataclass(frozen=True, slots=True)
class Interval:
    """A bootstrap interval for APGR."""

    low: float
    high: float
    level: float
    """0.95 for a 95% interval."""
    resamples: int
    """The resamples it rests on: those drawn, less any with no gap between the models."""


# Below this many groups of (equal score, equal gain) per prompt, a resample's counts are
# drawn per group (a binomial each); above, per prompt (one uniform draw each, then counted).
# A binomial costs about 12 times what a prompt's draw and counting cost (2 against 0.16 us,
# measured on MMLU's 14,037 prompts).
_GROUPS_PER_PROMPT_FOR_BINOMIALS = 0.08


@dataclass(frozen=True, slots=True)
class _Cells:
    """The ranking's prompts in cells of equal score and equal gain, in ranking order: a
    resample is a count per cell, and its curve depends on nothing else."""

    sizes: list[int]
    gains: list[float]
    """Each cell's gain; only cells with a gain other than 0 are listed below."""
    moving: list[int]
    """The cells whose gain is not 0."""
    group_starts: list[int]
    """For each moving cell: how many cells come before its group of equal scores."""
    group_ends: list[int]
    """For each moving cell: how many cells come up to the end of its group."""
    cell_of: list[int]
    """Each prompt's cell, by prompt index."""


def _cells(ranking: _Ranking) -> _Cells:
    sizes: list[int] = []
    gains: list[float] = []
    starts: list[int] = []
    ends: list[int] = []
    cell_of = [0] * len(ranking.order)
    begin = 0
    for end in ranking.ends:
        first = len(sizes)
        index: dict[float, int] = {}
        for prompt in ranking.order[begin:end]:
            gain = ranking.gains[prompt]
            cell = index.get(gain)
            if cell is None:
                cell = index[gain] = len(sizes)
                sizes.append(0)
                gains.append(gain)
            sizes[cell] += 1
            cell_of[prompt] = cell
        starts += repeat(first, len(sizes) - first)
        ends += repeat(len(sizes), len(sizes) - first)
        begin = end
    moving = [cell for cell, gain in enumerate(gains) if gain != 0.0]
    return _Cells(sizes, gains, moving, [starts[c] for c in moving], [ends[c] for c in moving], cell_of)


def _picker(indices: list[int]) -> Callable[[Sequence[int]], Sequence[int]]:
    """A function that picks ``indices`` out of a sequence, as a tuple (C-speed)."""
    if len(indices) > 1:
        return itemgetter(*indices)
    return lambda values: tuple(values[i] for i in indices)


class _Resampler:
    """APGR of a resample of a ranking, given as a count per cell (prompts of equal score and
    equal gain, in ranking order)."""

    def __init__(self, cells: _Cells, tolerance: float) -> None:
        self._gains = [cells.gains[c] for c in cells.moving]
        self._before, self._after = _picker(cells.moving), _picker([c + 1 for c in cells.moving])
        self._starts, self._ends = _picker(cells.group_starts), _picker(cells.group_ends)
        self._tolerance = tolerance

    def apgr(self, counts: Iterable[int]) -> float | None:
        """The resample's APGR; None when its two models come out equal."""
        cumulative = list(accumulate(counts, initial=0))  # resampled prompts before each cell
        n = cumulative[-1]
        weighted = list(map(mul, map(sub, self._after(cumulative), self._before(cumulative)), self._gains))
        total = math.fsum(weighted)
        if abs(total) <= self._tolerance:
            return None
        # The area above q_weak, times 2n, summed by prompt rather than by group: a prompt's
        # gain raises the curve for the rest of the axis after its group, and on its group's
        # straight segment for half of it, so it counts (n - end) + (end - start) / 2 times,
        # where start and end are the (resampled) prompts ranked before and through its group.
        spans = map(sub, repeat(2 * n), map(add, self._starts(cumulative), self._ends(cumulative)))
        return math.fsum(map(mul, weighted, spans)) / (2 * n * total)


def bootstrap_apgr(scores: Sequence[float], strong: Sequence[float], weak: Sequence[float], *,
                   resamples: int = 1000, seed: int = 0, level: float = 0.95,
                   progress: Callable[[int], None] | None = None) -> Interval:
    """A percentile bootstrap interval for APGR: the prompts are resampled with replacement
    ``resamples`` times from a generator seeded with ``seed`` (so the same call gives the same
    interval), and the interval is the middle ``level`` of the resamples' APGRs.

    The ranking is sorted once: a resample is a whole-number weight per group of prompts with
    equal score and equal gain, drawn either per group (a multinomial, as binomials) or per
    prompt and counted, whichever is cheaper; both give the same distribution as drawing the
    prompts. A resample whose two models come out equal has no APGR and is left out (the
    interval says how many it rests on). :class:`NoGap` when the data's own means are equal.
    ``progress``, if given, is called with the number of resamples drawn, now and then."""
    if resamples < 1:
        raise ValueError(f"resamples must be 1 or more, not {resamples!r}")
    if not 0.0 < level < 1.0:
        raise ValueError(f"level must be between 0 and 1, not {level!r}")
    ranking = _rank(scores, strong, weak)
    _curve(ranking).apgr()  # NoGap for the data itself
    cells = _cells(ranking)
    n = len(ranking.order)
    rng = random.Random(seed)
    draw = (_binomial_draw(cells, n, rng) if len(cells.sizes) < _GROUPS_PER_PROMPT_FOR_BINOMIALS * n
            else _prompt_draw(cells, n, rng))
    resampler = _Resampler(cells, _GAP_TOLERANCE * ranking.scale)
    values: list[float] = []
    for done in range(resamples):
        value = resampler.apgr(draw())
        if value is not None:
            values.append(value)
        if progress is not None and done % 16 == 15:
            progress(done + 1)
    values.sort()
    tail = (1.0 - level) / 2
    return Interval(_quantile(values, tail), _quantile(values, 1.0 - tail), level, len(values))


def _binomial_draw(cells: _Cells, n: int, rng: random.Random) -> Callable[[], Iterable[int]]:
    """Counts per cell, a multinomial drawn as one binomial per cell."""
    sizes = cells.sizes
    binomial = rng.binomialvariate

    def draw() -> list[int]:
        counts = []
        left, rest = n, n
        for size in sizes:
            if left == 0:
                counts.append(0)
                continue
            k = left if size >= rest else binomial(left, size / rest)
            counts.append(k)
            left -= k
            rest -= size
        return counts

    return draw


def _prompt_draw(cells: _Cells, n: int, rng: random.Random) -> Callable[[], Iterable[int]]:
    """Counts per cell, from n prompts drawn uniformly and counted by cell."""
    cell_of = cells.cell_of
    cells_count = len(cells.sizes)
    swap = sys.byteorder == "big"  # the same draws on every machine

    def draw() -> Iterable[int]:
        words = array("Q")
        words.frombytes(rng.randbytes(8 * n))
        if swap:
            words.byteswap()
        counts = [0] * cells_count
        # a 64-bit word modulo n is uniform to within n / 2**64; a plain loop counts faster
        # here than collections.Counter does
        for word in words:
            counts[cell_of[word % n]] += 1
        return counts

    return draw


def _quantile(values: list[float], q: float) -> float:
    """The ``q`` quantile of sorted ``values``, between order statistics (NaN for none)."""
    if not values:
        return math.nan
    at = q * (len(values) - 1)
    low = math.floor(at)
    high = min(low + 1, len(values) - 1)
    return values[low] + (values[high] - values[low]) * (at - low)
