"""One side of an evaluation: the tasks of a workload tiered with one pair of lists (or a
fitted router), routed, and counted a batch at a time.

Each task is classified as ``explain_complexity`` classifies it (a batch at a time, by the
package's native batch explainer), which gives the tier ``classify_complexity`` gives (it
reads the same lists) and what decided it. The model is the router's: with the preferences
and the keys fixed for the run, a selection depends on the task only through its tier (and
the model it requests), so each (requested model, tier) pair is put to the router once,
through :func:`halvec.explain.explain_selection`, with the first task that has it, and its
answer stands for every task with that pair. (A fitted router that chooses among models
gives each task's choice in its facts, and the pair is (requested model, that choice): see
:class:`halvec.evaluation.Tiering`.) A task's token counts are its own, else the
run's flat counts, else an estimate, which is counted.

The per-task work is done a batch at a time, with the interpreter's own loops (``map``,
``Counter``) wherever the task's record allows.
"""

from __future__ import annotations

import collections
import json
import json.encoder
import logging
import math
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from dataclasses import astuple, dataclass
from operator import eq, is_, itemgetter
from typing import Any, Final, Literal

from halvec import _workload
from halvec.core import model_router as mr
from halvec.evaluation.explainers import TIER_OF, BatchExplainer, Facts, FactTuple, RouterFactory, Span
from halvec.evaluation.prices import CostOverflow, rounded_cost, task_cost
from halvec.evaluation.results import (DECIDED_BY, RULES, TIERS, Cost, Outcome, Part, PatternCount, Reading,
                                      Summary, TaskRule)
from halvec.evaluation.settings import Settings
from halvec.evaluation.tokens import ESTIMATED_OUTPUT_TOKENS, BatchTokens, TokenSums
from halvec.explain import DecidedBy, explain_selection
from halvec.pattern_lists import LIST_NAMES, PatternLists
from halvec.workload import Batch

__all__ = ["Routes", "Tally", "count_elements", "json_value", "router_log_silenced"]

_AUTO: Final = (None, "", "auto")
_TIER: Final = TIER_OF


def _count_in_python(counts: dict[Any, int], items: Iterable[Any]) -> None:
    for item in items:
        counts[item] = counts.get(item, 0) + 1


# Counter's own counting loop (in C in CPython): counts[item] += 1 for each item
count_elements: Callable[[dict[Any, int], Iterable[Any]], None] = getattr(
    collections, "_count_elements", _count_in_python)


# --- routing ----------------------------------------------------------------------------------

@dataclass(frozen=True, slots=True)
class _Route:
    key: str
    decided_by: DecidedBy


class Routes:
    """The router's choice for each (requested model, tier), asked once (or, for a fitted
    router that chooses among models, each (requested model, its choice))."""

    def __init__(self, settings: Settings, factory: RouterFactory) -> None:
        self._router = factory(settings.config, settings.store)
        self._scheduler = settings.scheduler
        self.known: dict[tuple[str | None, Any], _Route] = {}

    def add(self, requested: str | None, tier: Any, description: str) -> None:
        selection = explain_selection(self._router, description, requested, scheduler=self._scheduler)
        if isinstance(tier, mr.Complexity) and selection.tier is not None and selection.tier != tier:
            raise RuntimeError(f"the router classified a {tier} task as {selection.tier.value}")
        if selection.key is None:
            raise RuntimeError(f"the router chose a model outside the catalogue: {selection.spec!r}")
        self.known[(requested, tier)] = _Route(selection.key, selection.decided_by)

    def learn(self, known: dict[tuple[str | None, Any], tuple[str, DecidedBy]]) -> None:
        """Takes the choices another router with the same preferences and keys made."""
        for pair, (key, decided_by) in known.items():
            self.known.setdefault(pair, _Route(key, decided_by))


@contextmanager
def router_log_silenced() -> Iterator[None]:
    """The router logs every worker choice; a workload's thousands of them are not wanted."""
    logger = logging.getLogger("halvec.model_router")
    disabled = logger.disabled
    logger.disabled = True
    try:
        yield
    finally:
        logger.disabled = disabled




# --- the tally --------------------------------------------------------------------------------

class Tally:
    """Totals of tasks routed with one pair of lists (``lists``: those ``explain`` reads)."""

    def __init__(self, settings: Settings, routes: Routes, explain: BatchExplainer, lists: PatternLists,
                 route_of: Callable[[FactTuple], Any] = _TIER) -> None:
        self._settings = settings
        self._route_of = route_of
        """What of a task's facts its route depends on besides its request: its tier, or what
        a tiering says (a fitted router's choice among models)."""
        self._routes = routes
        self._explain = explain
        self._lists = lists
        self._default = settings.model
        self._prices = settings.costed_with
        self._counts: dict[str | None, dict[FactTuple, int]] = {}
        """Tasks by requested model, then by their facts."""
        self._tokens: dict[tuple[str | None, Any], TokenSums] = {}
        """Token counts by (requested model, tier) (or the route's other key: see route_of)."""
        self._unspaced: dict[mr.Complexity, int] = {}
        """Tasks written mostly without spaces, by tier."""
        # what a task's line takes from its request and facts (see json_lines), by request
        # then facts, and by (request, facts)
        self._line_routes: dict[str | None, dict[FactTuple, tuple[str, float, float]]] = {}
        self._pair_routes: dict[tuple[str | None, FactTuple], tuple[str, float, float]] = {}

    def add(self, batch: Batch, tokens: BatchTokens | None = None
            ) -> tuple[list[FactTuple], list[Span], list[str | None], BatchTokens]:
        """Classifies and counts a batch; returns each task's facts, span and request, and
        the batch's token counts (``tokens``, when given, are they)."""
        facts, spans = self._explain(batch.descriptions)
        requested: list[str | None]
        tiers = list(map(_TIER, facts))
        routed = tiers if self._route_of is _TIER else list(map(self._route_of, facts))
        if batch.models is None:
            requested = [self._default] * len(facts)
            count_elements(self._counts.setdefault(self._default, {}), facts)
            keys: list[Any] = routed
            same: Callable[[Any, Any], bool] = is_
            pairs = {tier: (self._default, tier) for tier in set(routed)}
        else:
            default = self._default
            requested = [default if m is None else m for m in batch.models]
            for request in set(requested):
                self._counts.setdefault(request, {})
            pair_counts: dict[tuple[str | None, FactTuple], int] = {}
            count_elements(pair_counts, zip(requested, facts))
            for (request, fact), n in pair_counts.items():
                counts = self._counts[request]
                counts[fact] = counts.get(fact, 0) + n
            keys = list(zip(requested, routed))
            same = eq
            pairs = {pair: pair for pair in set(keys)}
        for pair in pairs.values() - self._routes.known.keys():
            request, tier = pair
            index = next(i for i, (r, t) in enumerate(zip(requested, routed)) if r == request and t == tier)
            self._routes.add(request, tier, batch.descriptions[index])
        if tokens is None:
            tokens = BatchTokens.of_batch(batch, self._settings)
        for key, sums in tokens.sums(keys, same, pairs):
            self._tokens.setdefault(pairs[key], TokenSums()).add(sums)
        for i in _workload.unspaced(batch.descriptions):
            tier = tiers[i]
            self._unspaced[tier] = self._unspaced.get(tier, 0) + 1
        return facts, spans, requested, tokens

    # --- per task ---

    def outcome(self, fact: FactTuple, span: Span, request: str | None, input_tokens: int,
                output_tokens: int) -> Outcome:
        facts = Facts._make(fact)
        route = self._routes.known[(request, self._route_of(fact))]
        return Outcome(tier=facts.tier.value, model=route.key, decided_by=route.decided_by, rule=facts.rule,
                       pattern_list=facts.pattern_list, pattern_index=facts.pattern_index, span=span,
                       cost=task_cost(route.key, input_tokens, output_tokens, self._prices))

    def json_lines(self, batch: Batch, facts: list[FactTuple], spans: list[Span], requested: list[str | None],
                   tokens: BatchTokens) -> bytes:
        """One JSON line per task of the batch, as UTF-8: line, id, (description,) token
        counts, tier, model, decided_by, rule, pattern, span, cost. What depends only on the
        request and the facts (the members from tier to pattern, the model's prices) is made
        once for each pair met; the native writer does the rest, costs included."""
        if batch.models is None:  # one request for the whole batch: the facts alone are the key
            routes = self._line_routes.setdefault(self._default, {})
            for fact in set(facts) - routes.keys():
                routes[fact] = self._line_route(self._default, fact)
            line_routes = list(map(routes.__getitem__, facts))
        else:
            keys = list(zip(requested, facts))
            by_pair = self._pair_routes
            for key in set(keys) - by_pair.keys():
                by_pair[key] = self._line_route(*key)
            line_routes = list(map(by_pair.__getitem__, keys))
        return _workload.task_lines(batch.lines, batch.ids, batch.descriptions if self._settings.with_text else None,
                                    line_routes, spans,
                                    (tokens.ins, tokens.outs, tokens.in_each, tokens.out_each, tokens.estimated),
                                    json_value)

    def _line_route(self, request: str | None, fact: FactTuple) -> tuple[str, float, float]:
        """The members from "tier" to "pattern" of a line, and the prices of its model."""
        facts = Facts._make(fact)
        route = self._routes.known[(request, self._route_of(fact))]
        price_in, price_out = self._prices.per_1k[route.key]
        pattern = ("null" if facts.pattern_list is None
                   else f'{{"list":"{facts.pattern_list}","index":{facts.pattern_index}}}')
        head = (f'"tier":"{facts.tier.value}","model":{json_value(route.key)},"decided_by":"{route.decided_by}",'
                f'"rule":"{facts.rule}","pattern":{pattern}')
        return head, price_in, price_out

    # --- totals ---

    def part(self, reading: Reading) -> Part:
        """The counts so far, as plain data."""
        return Part(reading=reading, counts={request: {tuple(facts): n for facts, n in counts.items()}
                                             for request, counts in self._counts.items()},
                    tokens={pair: astuple(sums) for pair, sums in self._tokens.items()},
                    routes={pair: (route.key, route.decided_by) for pair, route in self._routes.known.items()},
                    unspaced={tier.value: n for tier, n in self._unspaced.items()})

    def absorb(self, part: Part) -> None:
        """Adds the counts of a part evaluated with the same settings and lists."""
        self._routes.learn(part.routes)
        for request, counts in part.counts.items():
            mine = self._counts.setdefault(request, {})
            for fact, n in counts.items():
                facts = Facts._make(fact)
                mine[facts] = mine.get(facts, 0) + n
        for pair, sums in part.tokens.items():
            self._tokens.setdefault(pair, TokenSums()).add(TokenSums(*sums))
        for tier, n in part.unspaced.items():
            complexity = mr.Complexity(tier)
            self._unspaced[complexity] = self._unspaced.get(complexity, 0) + n

    def summary(self) -> Summary:
        routes = self._routes.known
        tiers = dict.fromkeys(TIERS, 0)
        models = dict.fromkeys(mr.AVAILABLE_MODELS, 0)
        decided_by: dict[DecidedBy, int] = dict.fromkeys(DECIDED_BY, 0)
        rules: dict[TaskRule, int] = dict.fromkeys(RULES, 0)
        by_pattern: dict[tuple[str, int], int] = {}
        by_pair: dict[tuple[str | None, Any], int] = {}
        not_honoured = 0
        tasks = 0
        for request, counts in self._counts.items():
            for fact, n in counts.items():
                facts = Facts._make(fact)
                tasks += n
                tiers[facts.tier.value] += n
                rules[facts.rule] += n
                if facts.pattern_list is not None and facts.pattern_index is not None:
                    where = (facts.pattern_list, facts.pattern_index)
                    by_pattern[where] = by_pattern.get(where, 0) + n
                key = (request, self._route_of(fact))
                by_pair[key] = by_pair.get(key, 0) + n
        for pair, n in by_pair.items():
            route = routes[pair]
            models[route.key] = models.get(route.key, 0) + n
            decided_by[route.decided_by] += n
            if pair[0] not in _AUTO and route.decided_by != "explicit":
                not_honoured += n
        patterns = tuple(PatternCount(name, index, pattern, by_pattern.get((name, index), 0))
                         for name in LIST_NAMES for index, pattern in enumerate(self._lists.get(name)))
        unspaced = dict.fromkeys(TIERS, 0)
        for complexity, n in self._unspaced.items():
            unspaced[complexity.value] += n
        return Summary(tasks=tasks, tiers=tiers, models=models, decided_by=decided_by,
                       requests_not_honoured=not_honoured, rules=rules, patterns=patterns,
                       cost=self._total_cost(by_pair), unspaced=unspaced)

    def _total_cost(self, by_pair: dict[tuple[str | None, Any], int]) -> Cost | None:
        settings = self._settings
        routes = self._routes.known
        tasks = sum(by_pair.values())
        if not tasks:
            return None
        total = TokenSums()
        by_model = {key: TokenSums() for key in mr.AVAILABLE_MODELS}  # the tokens each chosen model takes
        for pair in by_pair:
            sums = self._tokens.get(pair, TokenSums())
            total.add(sums)
            by_model.setdefault(routes[pair].key, TokenSums()).add(sums)
        prices = self._prices.per_1k
        routed = rounded_cost(sum((sums.input * prices[key][0] + sums.output * prices[key][1]) / 1000
                                  for key, sums in by_model.items() if sums.input or sums.output))
        alone = {key: rounded_cost((total.input * price_in + total.output * price_out) / 1000)
                 for key, (price_in, price_out) in prices.items()}
        if not all(map(math.isfinite, (routed, *alone.values()))):
            raise CostOverflow("its tokens cost more at these prices than a float can hold (1.8e308): lower the "
                               "prices or the token counts")
        ranking = tuple(sorted([("routed", routed), *alone.items()], key=itemgetter(1)))
        basis: Literal["given", "most_expensive"] = "given" if settings.baseline is not None else "most_expensive"
        baseline = settings.baseline if settings.baseline is not None else max(alone, key=alone.__getitem__)
        baseline_cost = alone[baseline]
        saving = rounded_cost(baseline_cost - routed)
        return Cost(prices=self._prices, costed_tasks=tasks, uncosted_tasks=0, input_tokens=total.input,
                    output_tokens=total.output, estimated_tasks=total.estimated,
                    estimated_input_tasks=total.estimated_input, estimated_output_tasks=total.estimated_output,
                    output_tokens_each=(settings.output_tokens if settings.output_tokens is not None
                                        else ESTIMATED_OUTPUT_TOKENS),
                    routed=routed, alone=alone, ranking=ranking,
                    cheaper_alone=tuple(key for key, amount in ranking if key != "routed" and amount < routed),
                    baseline=baseline, baseline_basis=basis, baseline_cost=baseline_cost, saving=saving,
                    saving_share=saving / baseline_cost if baseline_cost else None)


def json_value(value: object) -> str:
    """``value`` as JSON text (lone surrogates are replaced when the line is written)."""
    if isinstance(value, str):
        return _encode_text(value)
    if value is None:
        return "null"
    if type(value) is int:
        return str(value)
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


# the standard library's JSON string encoder (in C): quotes and escapes
_encode_text: Callable[[str], str] = getattr(json.encoder, "encode_basestring")
