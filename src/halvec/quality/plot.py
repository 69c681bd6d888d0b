"""The quality-versus-strong-share figure: each router's curve, random routing's straight line
and the two models' levels, a panel per set. Drawn with matplotlib, the optional extra
``halvec[plot]``; :func:`load_matplotlib` says how to install it when it is missing."""

from __future__ import annotations

import importlib
import math
import os
from collections.abc import Sequence
from typing import IO, Any

from halvec.quality.report import SetReport

__all__ = ["FORMATS", "MissingMatplotlib", "draw", "load_matplotlib"]

FORMATS = ("svg", "png")

_INSTALL = "pip install 'halvec[plot]'"


class MissingMatplotlib(ImportError):
    """matplotlib is not installed (or cannot be imported); the text says how to install it."""


def load_matplotlib() -> Any:
    """``matplotlib.pyplot`` with a backend that needs no display, or MissingMatplotlib."""
    try:
        matplotlib = importlib.import_module("matplotlib")
        matplotlib.use("Agg")
        return importlib.import_module("matplotlib.pyplot")
    except ImportError as error:
        raise MissingMatplotlib(f"drawing needs matplotlib, which is not installed ({error}); "
                                f"install it with: {_INSTALL}") from None


def draw(pyplot: Any, reports: Sequence[SetReport], file: IO[bytes], fmt: str, *, strong: str, weak: str) -> None:
    """Draws a panel per report into ``file`` as ``fmt`` (svg or png)."""
    columns = min(len(reports), 2)
    rows = math.ceil(len(reports) / columns)
    # no date, no software stamp, fixed element ids: the same data draws the same file
    with pyplot.rc_context({"svg.hashsalt": "halvec"}):
        figure, axes = pyplot.subplots(rows, columns, figsize=(6.4 * columns, 4.8 * rows), squeeze=False)
        try:
            for axis, report in zip(axes.flat, reports):
                _panel(axis, report, strong, weak)
            for axis in list(axes.flat)[len(reports):]:
                axis.set_visible(False)
            figure.tight_layout()
            metadata = {"Date": None} if fmt == "svg" else {"Software": None}
            figure.savefig(file, format=fmt, dpi=120, metadata=metadata)
        finally:
            pyplot.close(figure)


def _panel(axis: Any, report: SetReport, strong: str, weak: str) -> None:
    axis.axhline(report.q_strong, color="0.35", linestyle=":", linewidth=1)
    axis.axhline(report.q_weak, color="0.35", linestyle=":", linewidth=1)
    axis.annotate(f"{strong} alone", (0.01, report.q_strong), xycoords=("axes fraction", "data"),
                  va="bottom", fontsize=8, color="0.3")
    axis.annotate(f"{weak} alone", (0.01, report.q_weak), xycoords=("axes fraction", "data"),
                  va="top", fontsize=8, color="0.3")
    for row in report.rows:
        if row.curve is None:
            continue
        xs, qs = zip(*row.curve.points)
        if row.name == "random":
            axis.plot(xs, qs, color="0.5", linestyle="--", linewidth=1, label="random (APGR 0.500)")
            continue
        line, = axis.plot(xs, qs, linewidth=1.5, label=f"{row.name} (APGR {row.apgr:.3f})",
                          linestyle="-." if row.name == "oracle" else "-")
        if row.point is not None and row.name != "oracle":
            axis.plot([row.point.strong_share], [row.point.quality], marker="o", color=line.get_color())
    axis.set_title(f"{os.path.basename(report.name) or report.name} ({report.prompts:,} prompts)", fontsize=10)
    axis.set_xlabel("share of calls to the strong model")
    axis.set_ylabel("mean result")
    axis.set_xlim(0, 1)
    axis.grid(alpha=0.3)
    axis.legend(fontsize=8, loc="lower right")
