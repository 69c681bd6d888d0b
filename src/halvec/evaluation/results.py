"""What an evaluation finds, each result beside its JSON form (the keys ``halvec eval --json``
writes, listed in docs/cli.md, in their order).

- :class:`Reading`: how the input was read; :class:`Summary` (with :class:`Cost` and
  :class:`PatternCount`): the totals of one routing; :class:`Report`: both.
- :class:`Comparison`: the workload routed with two pairs of lists, with the tasks whose tier
  changes (:class:`Change`, each side an :class:`Outcome`).
- :class:`Part`: the counts of one part of a workload, plain data sent from the process that
  evaluated it.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any, Final, Literal, TypedDict

from halvec.evaluation.prices import Prices
from halvec.explain import DecidedBy, Rule
from halvec.pattern_lists import LIST_NAMES, ListName
from halvec.workload import BadLine

__all__ = ["DECIDED_BY", "RULES", "TIERS", "BadLineJSON", "BaselineJSON", "Change", "Comparison", "Cost", "CostJSON",
           "InputJSON", "ModelNameJSON", "NeverDecidedJSON", "Outcome", "OutsideCatalogueJSON", "Part",
           "PatternCount", "PatternJSON", "RankJSON", "Reading", "Report", "Summary", "SummaryJSON", "TaskRule",
           "change_json", "outcome_json"]

TIERS: Final[tuple[str, str, str]] = ("simple", "moderate", "complex")
TaskRule = Rule | Literal["fitted"]
"""What decided a task's tier: a rule of the module's classifier, or a fitted router's score."""
RULES: Final[tuple[TaskRule, ...]] = ("length", "complex_pattern", "simple_pattern", "counts", "fitted")
DECIDED_BY: Final[tuple[DecidedBy, ...]] = ("explicit", "default", "auto", "fallback", "last_resort")


# --- how the input was read -------------------------------------------------------------------

class BadLineJSON(TypedDict):
    line: int
    problem: str


class ModelNameJSON(TypedDict):
    name: str
    tasks: int


class OutsideCatalogueJSON(TypedDict):
    tasks: int
    """The tasks that named a model outside the catalogue (routed as tasks that request none)."""
    names: list[ModelNameJSON]
    """The names, most frequent first (the first 1,000 different names met are counted)."""


class InputJSON(TypedDict):
    source: str
    format: str
    field: str | None
    chat_tasks: int
    """Tasks whose description is a chat record's last user message, not ``field``."""
    model_field: str | None
    models_outside_catalogue: OutsideCatalogueJSON
    blank_lines: int
    bad_lines: int
    first_bad_lines: list[BadLineJSON]
    replaced_lines: int


@dataclass(frozen=True)
class Reading:
    """How the input was read."""

    source: str
    """The source as the user named it: a path, or ``-`` for standard input."""
    format: str
    field: str
    blank_lines: int
    bad_lines: int
    first_bad_lines: tuple[BadLine, ...]
    replaced_lines: int
    first_replaced_line: int | None
    chat_tasks: int = 0
    """Tasks whose description is a chat record's last user message rather than ``field``."""
    outside_catalogue: tuple[tuple[str, int], ...] = ()
    """Model names outside the catalogue that tasks gave (routed as tasks that request none),
    with their tasks, most frequent first (:data:`halvec.workload.KEPT_MODEL_NAMES` at most)."""
    outside_catalogue_tasks: int = 0
    """All the tasks that gave such a name."""
    model_field: str | None = None
    """The field or column a task's model was read from (None: none)."""

    def json(self) -> InputJSON:
        text = self.format == "text"
        return {"source": self.source, "format": self.format, "field": self.field if not text else None,
                "chat_tasks": self.chat_tasks, "model_field": self.model_field if not text else None,
                "models_outside_catalogue": {
                    "tasks": self.outside_catalogue_tasks,
                    "names": [{"name": name, "tasks": n} for name, n in self.outside_catalogue]},
                "blank_lines": self.blank_lines, "bad_lines": self.bad_lines,
                "first_bad_lines": [{"line": bad.line, "problem": bad.problem} for bad in self.first_bad_lines],
                "replaced_lines": self.replaced_lines}


# --- the totals of one routing ----------------------------------------------------------------

class RankJSON(TypedDict):
    name: str
    """``"routed"``, or a model key: that model alone."""
    cost: float


class BaselineJSON(TypedDict):
    model: str
    basis: Literal["given", "most_expensive"]
    cost: float
    saving: float
    saving_share: float | None


class CostJSON(TypedDict):
    costed_tasks: int
    uncosted_tasks: int
    input_tokens: int
    output_tokens: int
    estimated_tasks: int
    estimated_input_tasks: int
    estimated_output_tasks: int
    output_tokens_each: int
    routed: float
    alone: dict[str, float]
    ranking: list[RankJSON]
    cheaper_alone: list[str]
    baseline: BaselineJSON


@dataclass(frozen=True)
class Cost:
    """What the workload costs, at the run's prices per 1,000 tokens; every amount rounded by
    :func:`halvec.evaluation.rounded_cost`."""

    prices: Prices
    costed_tasks: int
    """Every task: a count a task lacks is the run's flat count or an estimate."""
    uncosted_tasks: int
    """0: kept for the callers that read it."""
    input_tokens: int
    output_tokens: int
    estimated_tasks: int
    """Tasks with a count estimated (either)."""
    estimated_input_tasks: int
    """Tasks whose input count was estimated from the description."""
    estimated_output_tasks: int
    """Tasks that were given :attr:`output_tokens_each` output tokens."""
    output_tokens_each: int
    """The output count of a task without one: the run's flat count, else the estimate."""
    routed: float
    """The cost with each task on the model it was routed to."""
    alone: dict[str, float]
    """The cost with every task on one model, for each catalogue model."""
    ranking: tuple[tuple[str, float], ...]
    """``("routed", cost)`` and each model alone, cheapest first (routing first among equals)."""
    cheaper_alone: tuple[str, ...]
    """The models that alone cost less than the routing, cheapest first."""
    baseline: str
    baseline_basis: Literal["given", "most_expensive"]
    baseline_cost: float
    saving: float
    """``baseline_cost - routed``."""
    saving_share: float | None
    """The saving as a share of the baseline's cost (None when that is 0)."""

    def json(self) -> CostJSON:
        return {"costed_tasks": self.costed_tasks, "uncosted_tasks": self.uncosted_tasks,
                "input_tokens": self.input_tokens, "output_tokens": self.output_tokens,
                "estimated_tasks": self.estimated_tasks, "estimated_input_tasks": self.estimated_input_tasks,
                "estimated_output_tasks": self.estimated_output_tasks, "output_tokens_each": self.output_tokens_each,
                "routed": self.routed, "alone": dict(self.alone),
                "ranking": [{"name": name, "cost": amount} for name, amount in self.ranking],
                "cheaper_alone": list(self.cheaper_alone),
                "baseline": {"model": self.baseline, "basis": self.baseline_basis, "cost": self.baseline_cost,
                             "saving": self.saving, "saving_share": self.saving_share}}


@dataclass(frozen=True)
class PatternCount:
    """An entry of a pattern list and the tasks it decided."""

    list: ListName
    index: int
    """Its place in the list, counting from 0."""
    pattern: str
    tasks: int


class PatternJSON(TypedDict):
    index: int
    pattern: str
    tasks: int


class NeverDecidedJSON(TypedDict):
    list: str
    index: int
    pattern: str


class SummaryJSON(TypedDict):
    tiers: dict[str, int]
    models: dict[str, int]
    decided_by: dict[DecidedBy, int]
    requests_not_honoured: int
    rules: dict[TaskRule, int]
    """By rule; ``"fitted"`` only when a fitted router tiered the tasks."""
    counts_share: float | None
    """Null where a fitted router tiered the tasks: the counts did not run."""
    patterns: dict[str, list[PatternJSON]]
    never_decided: list[NeverDecidedJSON] | None
    """Null where a fitted router tiered the tasks: the patterns did not run."""
    unspaced_tasks: dict[str, int]
    cost: CostJSON | None


@dataclass(frozen=True)
class Summary:
    """The totals of one routing of the workload."""

    tasks: int
    tiers: dict[str, int]
    """Tasks per tier, in the order simple, moderate, complex."""
    models: dict[str, int]
    """Tasks per chosen model, every catalogue model in catalogue order."""
    decided_by: dict[DecidedBy, int]
    requests_not_honoured: int
    """Tasks that asked for a model and got another (it was not usable)."""
    rules: dict[TaskRule, int]
    patterns: tuple[PatternCount, ...]
    """Every entry of both lists, in order, with the tasks it decided."""
    cost: Cost | None
    """None when there are no tasks."""
    unspaced: dict[str, int]
    """Tasks written mostly in a script without spaces (:func:`halvec.evaluation.mostly_unspaced`),
    by tier."""

    @property
    def never_decided(self) -> tuple[PatternCount, ...]:
        return tuple(p for p in self.patterns if not p.tasks)

    @property
    def counts_share(self) -> float | None:
        """The share of tasks decided by the word and tool counts alone (no pattern, not short)."""
        return self.rules["counts"] / self.tasks if self.tasks else None

    @property
    def rules_shown(self) -> dict[TaskRule, int]:
        """The tasks by tier rule; a fitted router's only where it tiered some."""
        return {rule: n for rule, n in self.rules.items() if rule != "fitted" or n}

    def json(self, *, fitted: bool = False) -> SummaryJSON:
        """The JSON form; ``fitted``: a fitted router tiered the tasks (no counts or patterns ran)."""
        patterns: dict[str, list[PatternJSON]] = {name: [] for name in LIST_NAMES}
        for entry in self.patterns:
            patterns[entry.list].append({"index": entry.index, "pattern": entry.pattern, "tasks": entry.tasks})
        return {"tiers": dict(self.tiers), "models": dict(self.models), "decided_by": dict(self.decided_by),
                "requests_not_honoured": self.requests_not_honoured, "rules": self.rules_shown,
                "counts_share": None if fitted else self.counts_share, "patterns": patterns,
                "never_decided": None if fitted else [{"list": p.list, "index": p.index, "pattern": p.pattern}
                                                      for p in self.never_decided],
                "unspaced_tasks": dict(self.unspaced),
                "cost": None if self.cost is None else self.cost.json()}


@dataclass(frozen=True)
class Report:
    """One evaluation: how the input was read and the totals."""

    reading: Reading
    summary: Summary


@dataclass(frozen=True)
class Part:
    """The counts of one part of a workload, before they make a summary: plain data, to be
    sent from the process that evaluated the part and combined with the other parts'
    (:func:`halvec.evaluation.combine`)."""

    reading: Reading
    counts: dict[str | None, dict[tuple[Any, ...], int]]
    """Tasks by requested model, then by their facts (tier, rule, pattern_list, pattern_index)."""
    tokens: dict[tuple[str | None, Any], tuple[int, int, int, int, int]]
    """By (requested model, tier): the :class:`halvec.evaluation.tally.TokenSums` as a tuple."""
    routes: dict[tuple[str | None, Any], tuple[str, DecidedBy]]
    """The router's choice, (model, decided_by), for each (requested model, tier) met (or the
    route's other key, where a tiering gives one: :class:`halvec.evaluation.Tiering`)."""
    unspaced: dict[str, int]
    """Tasks written mostly in a script without spaces, by tier."""


# --- a comparison -----------------------------------------------------------------------------

@dataclass(frozen=True)
class Outcome:
    """What became of one task on one side of a comparison."""

    tier: str
    model: str
    decided_by: DecidedBy
    rule: TaskRule
    pattern_list: ListName | None
    pattern_index: int | None
    span: tuple[int, int] | None
    cost: float | None
    coverage: float | None = None
    """The task's coverage, on the side a fitted router tiered (else None, and not in JSON)."""

    def json(self) -> dict[str, Any]:
        """As a per-task line has it: tier, model, decided_by, rule, pattern, span and cost."""
        return {"tier": self.tier, "model": self.model, "decided_by": self.decided_by, "rule": self.rule,
                "pattern": None if self.pattern_list is None else {"list": self.pattern_list,
                                                                   "index": self.pattern_index},
                "span": None if self.span is None else list(self.span), "cost": self.cost}

    def side_json(self) -> dict[str, Any]:
        """As a side of a changed task: with its ``coverage`` where a fitted router tiered it."""
        record = self.json()
        if self.rule == "fitted":
            record["coverage"] = self.coverage
        return record


@dataclass(frozen=True)
class Change:
    """A task whose tier the other lists change."""

    line: int
    id: Any
    description: str
    input_tokens: int
    output_tokens: int
    estimated: bool
    before: Outcome
    after: Outcome

    def json(self, *, with_text: bool = True) -> dict[str, Any]:
        """As a comparison's line has it: the members of an evaluation's line that are the
        task's own, then its outcome before and after."""
        record: dict[str, Any] = {"line": self.line, "id": self.id}
        if with_text:
            record["description"] = self.description
        record.update(input_tokens=self.input_tokens, output_tokens=self.output_tokens, estimated=self.estimated,
                      before=self.before.side_json(), after=self.after.side_json())
        return record

    def json_line(self, *, with_text: bool) -> str:
        """The comparison's line for the task: its JSON, compact, and a line break."""
        return json.dumps(self.json(with_text=with_text), ensure_ascii=False, separators=(",", ":")) + "\n"


@dataclass(frozen=True)
class Comparison:
    """The workload routed with the lists in force (before) and with other lists (after)."""

    reading: Reading
    before: Summary
    after: Summary
    transitions: dict[str, dict[str, int]]
    """Tasks by tier before, then by tier after."""
    changed: int
    """Tasks whose tier changed."""
    changes: tuple[Change, ...]
    """The first :data:`halvec.evaluation.CHANGES_KEPT` of them."""


def outcome_json(outcome: Outcome) -> dict[str, Any]:
    """An outcome as the JSON of a per-task line."""
    return outcome.json()


def change_json(change: Change, *, with_text: bool = True) -> dict[str, Any]:
    """A changed task as the JSON of a comparison's line."""
    return change.json(with_text=with_text)
