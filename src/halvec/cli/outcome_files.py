"""Outcome files read for a command (``bench``, ``fit``): progress on a terminal, and every
problem one line and exit status 2."""

from __future__ import annotations

from halvec.cli.options import InputError, UsageError, near_miss
from halvec.cli.progress import Progress
from halvec.quality.outcomes import ModelChoice, OutcomeFormat, OutcomeProblem, Outcomes, read_outcomes

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
