"""Outcome sets for the quality benchmarks: each ``*.jsonl`` of a folder in the form of
``halvec bench``'s JSONL, its two models told apart by their mean result."""

import json
import pathlib

from halvec.quality.outcomes import Outcomes, read_outcomes


def outcomes_of(path: pathlib.Path) -> Outcomes:
    """The file's outcomes, the model with the higher mean result as the strong one."""
    with path.open(encoding="utf-8") as file:
        first, second = list(json.loads(file.readline())["scores"])
    outcomes = read_outcomes(str(path), strong=first, weak=second)
    if outcomes.q_strong < outcomes.q_weak:
        outcomes = read_outcomes(str(path), strong=second, weak=first)
    return outcomes


def outcome_sets(folder: pathlib.Path) -> dict[str, Outcomes]:
    """Every set of the folder, by file name, in name order."""
    return {path.name: outcomes_of(path) for path in sorted(folder.glob("*.jsonl"))}
