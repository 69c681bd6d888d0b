"""Routers fitted to outcome data: linear scorers of the description whose features are n-grams
that can be read. A version-1 router scores one model's gain over another, with two cut points
that make its score a tier; a version-2 router predicts each of several models' result and
chooses among them by result and price.

- :func:`load_router` reads a router file (written by ``halvec fit``) of either version into a
  :class:`FittedRouter`: ``score(texts)``, ``tier(text)``, ``cuts``, ``strong_mask(scores)``
  (version 1); ``models``, ``qualities(text)``, ``prices(text)``, ``choose(text, usable,
  tradeoff)`` and their batch forms (version 2).
- :class:`FittedModelRouter` is a ``ModelRouter`` that tiers by a fitted router; everything
  else (preferences, availability, fallback, usage, log lines) is the router's own.
- :func:`explain_score` says why a fitted router gives its tier (the score, the cut points and
  the n-grams that weighed most, with the text they matched) or chooses its model (every
  model's predicted result, price and objective, and the n-grams that most separated the
  chosen model from the runner-up).

Scoring is native and needs nothing beyond the package; fitting needs the extra
``halvec[fit]``: :func:`halvec.fitted.fitting.fit_router` fits a router to outcome files and
reports its cross-validated quality, on the model of :mod:`halvec.fitted.fit`.
"""

from __future__ import annotations

from halvec.fitted.explain import (ChoiceExplanation, Contribution, ModelFigures, ScoreExplanation, Separation,
                                  explain_score)
from halvec.fitted.model_router import FittedModelRouter
from halvec.fitted.router import FittedRouter, NoUsableModel, load_router
from halvec.fitted.router_file import RouterFileError

__all__ = ["ChoiceExplanation", "Contribution", "FittedModelRouter", "FittedRouter", "ModelFigures", "NoUsableModel",
           "RouterFileError", "ScoreExplanation", "Separation", "explain_score", "load_router"]
