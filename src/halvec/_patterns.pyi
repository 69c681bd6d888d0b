"""The pattern engine of halvec.core.model_router, for the package (private)."""

import re
from collections.abc import Callable, Iterable
from typing import Any

def search(patterns: Iterable[str | re.Pattern[str]], text: str) -> tuple[int, int, int] | None:
    """The first pattern, in order, that matches somewhere in text, and where:
    (index, start, end) as re.search(pattern, text).span() gives it, or None."""

def covers(pattern: str) -> bool:
    """Whether the native engine decides pattern itself (else re searches it)."""

def make_explainer(record_type: type[Any], /) -> Callable[..., Any]:
    """make_explainer(record_type): explain_complexity, answering with record_type instances."""

def make_batch_explainer() -> Callable[..., Any]:
    """make_batch_explainer(): explain_batch, with caches of its own."""
