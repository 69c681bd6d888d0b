"""What tiers a workload's descriptions, a batch at a time: the package's native batch
explainer (the module's classifier with what decided), one made of a single-description
explainer (to time another implementation), or a fitted router (:class:`Tiering`); and the
estimates a tally makes of a description (its input tokens, whether it is written without
spaces)."""

from __future__ import annotations

import re
from collections.abc import Callable
from dataclasses import dataclass
from operator import attrgetter, itemgetter
from typing import Any, Final, NamedTuple, Protocol

from halvec import _patterns, _workload
from halvec.core import model_router as mr
from halvec.evaluation.results import TaskRule
from halvec.explain import ComplexityExplanation
from halvec.pattern_lists import ListName

__all__ = ["TIER_OF", "BatchExplainer", "Explainer", "FactTuple", "Facts", "RouterFactory", "Span", "Tiering",
           "batch_of", "estimate_input_tokens", "estimates", "mostly_unspaced", "new_explainer"]

Span = tuple[int, int] | None
"""Where in the lower-cased, stripped description the deciding pattern matched."""


FactTuple = tuple[mr.Complexity, TaskRule, ListName | None, int | None]
"""What decided a description's tier, as a batch explainer gives it: a plain tuple, counted as
it is (:class:`Facts` names its members)."""


class Facts(NamedTuple):
    """What decided a description's tier, by name (``Facts._make`` of a :data:`FactTuple`,
    which it equals)."""

    tier: mr.Complexity
    rule: TaskRule
    pattern_list: ListName | None
    pattern_index: int | None


class Explainer(Protocol):
    def __call__(self, prompt: str, tool_count: int = 0) -> ComplexityExplanation: ...


class BatchExplainer(Protocol):
    """Explains a batch of descriptions for a tally: for each, what ``explain_complexity``
    says of it as (tier, rule, pattern_list, pattern_index), and its span."""

    def __call__(self, prompts: list[str], /) -> tuple[list[FactTuple], list[Span]]: ...


class RouterFactory(Protocol):
    def __call__(self, config: mr.ModelRoutingConfig, secrets: Any) -> mr.ModelRouter: ...


@dataclass(frozen=True)
class Tiering:
    """Tiers that come from elsewhere than the module's classifier (a fitted router): a batch
    explainer that gives each description's facts (rule ``"fitted"``), and the router that
    tiers descriptions the same way. ``coverage``, when given, is each description's coverage
    in the batch ``explain`` was last given (:mod:`halvec.fitted.coverage`): the per-task
    lines carry it.

    A router that chooses among models rather than tiers (a version-2 fitted router) gives
    ``route_of``: what of a description's facts its route depends on besides the model it
    requests (without it, its tier). Its facts are then (the chosen model's catalogue tier,
    ``"fitted"``, None, the index of the model it chose among its models, or None when none of
    them is usable), and ``route_of`` takes the index."""

    explain: BatchExplainer
    router: RouterFactory
    coverage: Callable[[], list[float | None]] | None = None
    route_of: Callable[[FactTuple], Any] | None = None

    def routes_by(self) -> Callable[[FactTuple], Any]:
        """``route_of``, or the tier where it is not given."""
        return self.route_of if self.route_of is not None else TIER_OF


TIER_OF: Final = itemgetter(0)
"""A description's tier, from its facts."""


def new_explainer() -> BatchExplainer:
    """The native batch explainer, with caches of its own: two of them, each kept to its own
    pair of lists, never make each other rebuild."""
    made: BatchExplainer = _patterns.make_batch_explainer()
    return made


_FACTS: Final = attrgetter("tier", "rule", "pattern_list", "pattern_index")
_SPAN: Final = attrgetter("span")


def batch_of(explain: Explainer) -> BatchExplainer:
    """A batch explainer made of one that explains a description at a time."""

    def explain_batch(prompts: list[str], /) -> tuple[list[FactTuple], list[Span]]:
        explanations = list(map(explain, prompts))
        return list(map(_FACTS, explanations)), list(map(_SPAN, explanations))
    return explain_batch


def estimate_input_tokens(description: str) -> int:
    """The input tokens of a task that has no count of its own: its description's UTF-8
    bytes divided by 4, rounded up. About four characters make a token of English text;
    counting bytes rather than characters gives the scripts whose characters take two or
    three bytes (Cyrillic, Chinese, Japanese, Thai) the larger counts their tokenizers give
    them. (A chat record's estimate counts its whole conversation the same way:
    :func:`halvec.workload.conversation_tokens`.)"""
    size = len(description) if description.isascii() else len(description.encode("utf-8", "surrogatepass"))
    return (size + 3) // 4


def estimates(descriptions: list[str]) -> list[int]:
    """:func:`estimate_input_tokens` of each description, natively, without encoding them."""
    made: list[int] = _workload.token_estimates(descriptions)
    return made


# Scripts written without spaces between words: Thai, Lao, Tibetan, Myanmar, Khmer, the
# Japanese kana, CJK ideographs, and the punctuation and full-width forms written with them.
_UNSPACED = re.compile("[\u0e00-\u0fff\u1000-\u109f\u1780-\u17ff\u3001-\u30ff\u3400-\u4dbf\u4e00-\u9fff"
                       "\uf900-\ufaff\uff00-\uffef\U00020000-\U0003134f]")


def mostly_unspaced(description: str) -> bool:
    """Whether more than half of the description's characters, white space aside, are of a
    script written without spaces between words. The classifier counts words by white
    space, so it sees such a text as a few long words. (A tally asks the native
    ``_workload.unspaced`` the same of a batch at a time.)"""
    if description.isascii():
        return False
    visible = sum(map(len, description.split()))
    return 2 * len(_UNSPACED.findall(description)) > visible
