"""Routers fitted to outcome data: a linear scorer of the description whose features are
n-grams that can be read, with two cut points that make its score a tier.

- :func:`load_router` reads a router file (written by ``halvec fit``) into a
  :class:`FittedRouter`: ``score(texts)``, ``tier(text)``, ``cuts``, ``strong_mask(scores)``.
- :class:`FittedModelRouter` is a ``ModelRouter`` that tiers by a fitted router; everything
  else (preferences, availability, fallback, usage, log lines) is the router's own.
- :func:`explain_score` says why a fitted router gives its tier: the score, the cut points and
  the n-grams that weighed most, with the text they matched.

Scoring is native and needs nothing beyond the package; fitting needs the extra
``halvec[fit]``: :func:`halvec.fitted.fitting.fit_router` fits a router to outcome files and
reports its cross-validated quality, on the model of :mod:`halvec.fitted.fit`.
"""

from __future__ import annotations

from halvec.fitted.explain import Contribution, ScoreExplanation, explain_score
from halvec.fitted.model_router import FittedModelRouter
from halvec.fitted.router import FittedRouter, load_router
from halvec.fitted.router_file import RouterFileError

__all__ = ["Contribution", "FittedModelRouter", "FittedRouter", "RouterFileError", "ScoreExplanation",
           "explain_score", "load_router"]
