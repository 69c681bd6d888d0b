"""A ``ModelRouter`` whose automatic choice is a fitted router's.

:class:`FittedModelRouter` is the router of :mod:`halvec.core.model_router` in everything but
one step, the automatic choice. With a version-1 router file, where the router classifies a
description with ``classify_complexity``, it asks the fitted router for the tier, and the
choice by complexity (``_select_for_complexity``, with its preference lists, availability tests
and fallback) goes on as the router's. With a version-2 file, it chooses among the catalogue
models the file's ``catalogue`` maps (``_select_for_models``): the usable one with the highest
predicted result less the trade-off times its price, a model that is not usable passed over
for the next best, and with none usable the router's own fallback (``_get_fallback``). The
stages around that step are the router's own, in its order, through the instance as the
router calls them: the explicit choice, the configured default, the availability test, the
same log lines through the module's logger (the tier in them, for a version-2 file, is the
chosen model's catalogue tier), and usage counting.
"""

from __future__ import annotations

from typing import Any

from halvec.core import model_router as mr
from halvec.fitted.explain import ScoreExplanation, explain_score
from halvec.fitted.router import FittedRouter

__all__ = ["FittedModelRouter"]

_LEFT_TO_THE_ROUTER = "auto"
_EXCERPT = 50


def _check(name: str, value: Any, *, optional: bool = False) -> None:
    """The module's argument check for a ``str`` (``str | None``) parameter."""
    if type(value) is str or (optional and value is None):
        return
    raise TypeError(f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})")


class FittedModelRouter(mr.ModelRouter):
    """``FittedModelRouter(fitted, config=None, secrets=None)``: a ``ModelRouter`` whose automatic
    choice is ``fitted``'s (a :class:`~halvec.fitted.FittedRouter`, from
    :func:`~halvec.fitted.load_router`): of version 1, its choice by complexity takes the tier
    from ``fitted`` instead of ``classify_complexity``; of version 2, it chooses among the
    models ``fitted`` maps to catalogue keys (see the module's text). ``config`` and
    ``secrets`` are the router's own."""

    def __init__(self, fitted: FittedRouter, config: mr.ModelRoutingConfig | None = None,
                 secrets: Any = None) -> None:
        if not isinstance(fitted, FittedRouter):
            raise TypeError(f"a FittedModelRouter needs a FittedRouter (from load_router), not {type(fitted).__name__}")
        super().__init__(config, secrets)
        self.fitted: FittedRouter = fitted

    def _select_for_models(self, description: str) -> mr.ModelSpec:
        """A version-2 router's choice: of the models its file maps to catalogue keys, the usable
        one (by ``_is_available``) with the highest ``result - tradeoff * price``, each that is
        not usable passed over for the next best; with none usable, ``_get_fallback()``.
        RouterFileError, naming the file, when the file maps a model to a key not in the
        catalogue in force."""
        keys = self.fitted.catalogue_keys()
        left = [model for model in self.fitted.models if model in keys]
        while left:
            model = self.fitted.choose(description, left)
            spec = mr.AVAILABLE_MODELS.get(keys[model])
            if spec is not None and self._is_available(spec):
                return spec
            left.remove(model)
        return self._get_fallback()

    def _auto(self, description: str) -> tuple[mr.ModelSpec, object]:
        """The automatic choice and the tier its log line gives."""
        if self.fitted.version == 1:
            complexity = self.classify(description)
            return self._select_for_complexity(complexity), complexity.value
        model = self._select_for_models(description)
        return model, _tier_text(model)

    def classify(self, description: str) -> mr.Complexity:
        """The tier the choice by complexity uses for ``description``."""
        return self.fitted.tier(description)

    def _explain_tier(self, description: str) -> ScoreExplanation:
        """The tier's explanation, for :func:`halvec.explain.explain_selection`."""
        explained = explain_score(self.fitted, description)
        if not isinstance(explained, ScoreExplanation):
            raise TypeError(f"router {self.fitted.name!r} chooses among models: it has no tier to explain")
        return explained

    def select_for_worker(self, task_description: str, model_key: str | None = None) -> mr.ModelSpec:
        """Select a model for a worker: the explicit choice, else the configured default, else
        the fitted router's automatic choice (the first usable model of the tier it gives, or
        the best usable model it maps); logged as the router logs."""
        _check("task_description", task_description)
        _check("model_key", model_key, optional=True)
        excerpt = task_description[:_EXCERPT]
        if model_key and model_key != _LEFT_TO_THE_ROUTER:
            spec = self.get_model(model_key)
            if spec:
                mr.logger.info(f"Worker model (explicit): {spec.display_name} for '{excerpt}'")
                return spec
            mr.logger.warning(f"Requested model '{model_key}' not available, falling back to auto")
        default_key = self._config.default_worker_model
        if default_key and default_key != _LEFT_TO_THE_ROUTER:
            spec = self.get_model(default_key)
            if spec:
                mr.logger.info(f"Worker model (default): {spec.display_name} for '{excerpt}'")
                return spec
        model, tier = self._auto(task_description)
        mr.logger.info(f"Worker model (auto [{tier}]): {model.display_name} for '{excerpt}'")
        return model

    def select_for_scheduler(self, job_description: str, model_key: str | None = None) -> mr.ModelSpec:
        """Select a model for a scheduled job (the same stages, with the scheduler's default,
        and no log lines)."""
        _check("job_description", job_description)
        _check("model_key", model_key, optional=True)
        if model_key and model_key != _LEFT_TO_THE_ROUTER:
            spec = self.get_model(model_key)
            if spec:
                return spec
        default_key = self._config.default_scheduler_model
        if default_key and default_key != _LEFT_TO_THE_ROUTER:
            spec = self.get_model(default_key)
            if spec:
                return spec
        return self._auto(job_description)[0]


def _tier_text(spec: mr.ModelSpec) -> object:
    """A record's tier as a log line gives it: a tier's text, anything else as it is."""
    tier = spec.complexity_tier
    return tier.value if isinstance(tier, mr.Complexity) else tier
