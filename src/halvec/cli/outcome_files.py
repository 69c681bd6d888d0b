"""Outcome files read for a command (``bench``, ``fit``): progress on a terminal, and every
problem one line and exit status 2."""

from __future__ import annotations

from dataclasses import dataclass

from halvec.cli import output
from halvec.cli.options import InputError, UsageError, near_miss
from halvec.cli.progress import Progress
from halvec.quality.outcomes import ModelChoice, OutcomeFormat, OutcomeProblem, Outcomes, read_outcomes
from halvec.quality.pooling import DifferentScales, RepeatedAcrossFiles

__all__ = ["read_outcome_file"]

_OPTIONS = {"strong": "--strong", "weak": "--weak", "models": "--models", "text_field": "--field"}
"""How the commands' messages name what mends a problem in an outcome file."""


def read_outcome_file(path: str, *, strong: str | None = None, weak: str | None = None,
                      models: ModelChoice | None = None, text_field: str | None,
                      fmt: OutcomeFormat | None, progress: Progress | None = None) -> Outcomes:
    """The outcomes of ``path`` for the pair, which must leave a gap to recover; or for every
    model ``models`` names. ``progress`` (closed when the file is read) shows the reading."""
    progress = progress if progress is not None else Progress(unit="prompts")
    try:
        outcomes = read_outcomes(path, strong=strong, weak=weak, models=models, text_field=text_field, fmt=fmt,
                                 progress=progress, hint=near_miss, setting_names=_OPTIONS)
        if models is None:
            outcomes.check_gap(_OPTIONS)
    except OSError as error:
        raise UsageError(f"cannot read {path!r}: {error.strerror or error}") from None
    except OutcomeProblem as problem:
        raise InputError(str(problem)) from None
    finally:
        progress.close()
    return outcomes


@dataclass
class Drawn:
    """What the progress display reads of the resamples drawn so far."""

    tasks: int
    fraction_read: float | None


def warn_pooled(prog: str, warning: DifferentScales | RepeatedAcrossFiles) -> None:
    """Says on standard error what pooling the files warns of."""
    if isinstance(warning, DifferentScales):
        shown = ", ".join(f"{output.escape(repr(source), backslash=False)} up to {top:g}"
                          for source, top in warning.largest)
        output.message(f"{prog}: warning: the files' results are on different scales ({shown}): the pooled "
                       f"figures weigh the larger scale more\n")
    else:
        output.message(f"{prog}: warning: {warning.prompts:,} prompts of the pooled files repeat a prompt of an "
                       f"earlier file (the same text: a file given twice?): the pooled figures count each copy as a "
                       f"prompt of its own, so their intervals are narrower than the data warrants\n")
