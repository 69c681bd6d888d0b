"""What ``halvec fit`` shows as it works, for either form of router: the fits (and the
resamples) done with the time left, and what the data warns of."""

from __future__ import annotations

from dataclasses import dataclass

from halvec.reading import ROUTER_FILE
from halvec.cli import output
from halvec.cli.progress import Progress
from halvec.fitted.fitting import DigestLeftOut, RepeatedPrompts
from halvec.quality.pooling import DifferentScales

__all__ = ["Done", "FitProgress", "warn_data"]


class FitProgress(Progress):
    """Steps done and the time left; a rate of fits a second says nothing."""

    @staticmethod
    def line(tasks: int, fraction: float | None, elapsed: float, *, unit: str = "tasks") -> str:
        full = Progress.line(tasks, fraction, elapsed, unit=unit)
        return f"{tasks:,} {unit}" + (full[full.rindex("  "):] if full.endswith(" left") else "")


@dataclass
class Done:
    tasks: int
    fraction_read: float


def warn_data(prog: str, warning: RepeatedPrompts | DifferentScales | DigestLeftOut, out_path: str) -> None:
    """Says what the prompts fitted on warn of."""
    if isinstance(warning, DigestLeftOut):
        output.message(f"{prog}: warning: the digest of the {warning.distinct:,} different prompts is left out of "
                       f"{output.escape(repr(out_path), backslash=False)}: with it the file would be "
                       f"{ROUTER_FILE.problem()}; bench cannot tell whether the router is measured on the "
                       f"prompts it was fitted on\n")
    elif isinstance(warning, RepeatedPrompts):
        output.message(f"{prog}: warning: {warning.repeated:,} of the {warning.prompts:,} prompts repeat an earlier "
                       f"prompt's text exactly (a file given twice, or repeats within a file): each text's copies "
                       f"are kept in one fold, so that no copy is scored by a model fitted on its twin\n")
    else:
        output.message(f"{prog}: warning: the files' results are on different scales (up to "
                       f"{', '.join(f'{top:g}' for _, top in warning.largest)}): the larger scale weighs more in the "
                       f"fit\n")
