"""Halvec agent application: the model router and its host-side helpers.

``explain_complexity`` and ``explain_selection`` (from :mod:`halvec.explain`) say why the
router decides as it does; they load the router module on first use.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from halvec.explain import ComplexityExplanation as ComplexityExplanation
    from halvec.explain import SelectionExplanation as SelectionExplanation
    from halvec.explain import explain_complexity as explain_complexity
    from halvec.explain import explain_selection as explain_selection

__version__: str = "0.1.0"

_EXPLAIN = ("ComplexityExplanation", "SelectionExplanation", "explain_complexity", "explain_selection")


def __getattr__(name: str) -> Any:
    if name in _EXPLAIN:
        from halvec import explain

        return getattr(explain, name)
    raise AttributeError(f"module 'halvec' has no attribute {name!r}")
