"""The result-against-cost figure of ``bench --models``: a panel per set, with each router's
frontier and operating point, the oracle's frontier, the hull of the models alone and each
model as a labelled point. Drawn with matplotlib, the optional extra ``halvec[plot]``
(:func:`halvec.quality.plot.load_matplotlib`)."""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from typing import IO, Any

from halvec.quality.frontier import Point
from halvec.quality.models import SetMeasures

__all__ = ["MOST_POINTS", "draw", "thinned"]

MOST_POINTS = 2000
"""The most points of a frontier drawn: more than a panel's pixels across, so thinning changes
nothing that can be seen, and a frontier of 45,000 points makes a file of a sensible size."""


def thinned(points: Sequence[Point], most: int = MOST_POINTS) -> list[Point]:
    """``points`` in order of cost, at most ``most`` of them, evenly spaced in the order, the
    first and the last always kept."""
    ordered = sorted(points, key=lambda p: (p.cost, p.result))
    if len(ordered) <= most:
        return ordered
    step = (len(ordered) - 1) / (most - 1)
    return [ordered[round(k * step)] for k in range(most)]


def draw(pyplot: Any, sets: Sequence[SetMeasures], file: IO[bytes], fmt: str) -> None:
    """Draws a panel per set into ``file`` as ``fmt`` (svg or png)."""
    columns = min(len(sets), 2)
    rows = math.ceil(len(sets) / columns)
    # no date, no software stamp, fixed element ids: the same data draws the same file
    with pyplot.rc_context({"svg.hashsalt": "halvec"}):
        figure, axes = pyplot.subplots(rows, columns, figsize=(7.2 * columns, 5.4 * rows), squeeze=False)
        try:
            for axis, s in zip(axes.flat, sets):
                _panel(axis, s)
            for axis in list(axes.flat)[len(sets):]:
                axis.set_visible(False)
            figure.tight_layout()
            metadata = {"Date": None} if fmt == "svg" else {"Software": None}
            figure.savefig(file, format=fmt, dpi=120, metadata=metadata)
        finally:
            pyplot.close(figure)


def _xy(points: Sequence[Point]) -> tuple[list[float], list[float]]:
    return [p.cost for p in points], [p.result for p in points]


def _stacked(points: Sequence[Point]) -> list[int]:
    """How many lines below its point each point's label goes, so that labels of models close
    together do not overlap: placed highest first, each a line lower while it would meet a label
    placed before it (a line is about a 36th of the results' range on a panel; labels meet within
    a sixth of the costs' range)."""
    costs = [p.cost for p in points]
    results = [p.result for p in points]
    width, line = (max(costs) - min(costs)) or 1.0, ((max(results) - min(results)) or 1.0) / 36
    placed: list[tuple[float, float]] = []  # each label's cost and height
    below = [0] * len(points)
    for k in sorted(range(len(points)), key=lambda k: (-points[k].result, points[k].cost)):
        at = points[k].result
        while any(abs(cost - points[k].cost) < width / 6 and abs(height - at) < line for cost, height in placed):
            below[k] += 1
            at -= line
        placed.append((points[k].cost, at))
    return below


def _panel(axis: Any, s: SetMeasures) -> None:
    singles = [Point(m.cost.value or 0.0, m.result.value or 0.0) for m in s.single]
    dearest = max(p.cost for p in singles)
    alone = list(s.models_alone.vertices)
    alone.append(Point(dearest, alone[-1].result))  # flat after its highest point
    aiq = s.models_alone.aiq.value
    axis.plot(*_xy(alone), color="0.5", linestyle="--", linewidth=1,
              label="models alone" + (f" (AIQ {aiq:.3f})" if aiq is not None else ""))
    oracle = s.oracle.frontier.points
    axis.plot(*_xy(thinned(oracle)), color="0.35", linestyle="-.", linewidth=1, label="oracle")
    for r in s.routers:
        aiq = r.hull.aiq.value
        line, = axis.plot(*_xy(thinned(r.frontier.points)), linewidth=1.5,
                          label=r.name + (f" (AIQ {aiq:.3f})" if aiq is not None else ""))
        point = r.operating
        if point is not None and point.cost.value is not None and point.result.value is not None:
            axis.plot([point.cost.value], [point.result.value], marker="o", color=line.get_color())
    axis.scatter(*_xy(singles), color="0.2", s=14, zorder=3)
    for single, p, below in zip(s.single, singles, _stacked(singles)):
        axis.annotate(single.model, (p.cost, p.result), textcoords="offset points", xytext=(4, -3 - 8 * below),
                      fontsize=7, color="0.25")
    axis.set_title(f"{os.path.basename(s.name) or s.name} ({s.prompts:,} prompts, {len(s.models)} models)",
                   fontsize=10)
    axis.set_xlabel("mean cost per prompt")
    axis.set_ylabel("mean result")
    axis.grid(alpha=0.3)
    axis.legend(fontsize=8, loc="lower right")
