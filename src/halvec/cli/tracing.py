"""How the router came to its choice, worked out from outside the module.

The router says which model it chose, not why. This module runs the module's own selection
with a router subclass that notes which stages ran (the choice by complexity, the fallback)
and a handler that keeps the log lines, then reads the rest off the preferences and the
store: whether the explicit choice and the configured default were usable, and why not.
It is the one place that does so, for ``halvec route``; when the library can explain its
choices itself, this module goes and ``route`` asks the library instead.
"""

from __future__ import annotations

import logging
from dataclasses import dataclass
from typing import Literal, TypedDict

from halvec.config import SecretsStore
from halvec.core import model_router as mr

__all__ = ["DecidedBy", "LogLine", "Selection", "trace_selection"]

DecidedBy = Literal["explicit", "default", "auto", "fallback", "last_resort"]

_AUTO = ("auto", "")  # with None, the choices that leave the decision to the router


class LogLine(TypedDict):
    """A log line of the module: its level's name and its message."""

    level: str
    message: str


@dataclass(frozen=True)
class Selection:
    """A choice of the router and how it was made."""

    spec: mr.ModelSpec
    key: str
    """The chosen model's catalogue key."""
    model_string: str
    usable: bool
    """False only for the router's last resort, a model that cannot run as configured."""
    decided_by: DecidedBy
    tier: mr.Complexity | None
    """The complexity tier, when the choice by complexity ran."""
    requested_model: str | None
    default_model: str
    """The configured default in force (of workers, or of scheduled jobs)."""
    notes: list[str]
    """Each choice that was not honoured and why, as sentences for the user."""
    log: list[LogLine]


class _TracingRouter(mr.ModelRouter):
    """Remembers which stages of the selection ran; the choice itself is the module's."""

    tier: mr.Complexity | None = None
    fell_back: bool = False

    def _select_for_complexity(self, complexity: mr.Complexity) -> mr.ModelSpec:
        self.tier = complexity
        return super()._select_for_complexity(complexity)

    def _get_fallback(self) -> mr.ModelSpec:
        self.fell_back = True
        return super()._get_fallback()


class _Capture(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.records: list[LogLine] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append({"level": record.levelname, "message": record.getMessage()})


def _key_of(spec: mr.ModelSpec) -> str:
    return next((key for key, s in mr.AVAILABLE_MODELS.items() if s is spec), "?")


def _env_var(provider: str) -> str:
    return f"{provider.upper()}_API_KEY"


def _why_not_usable(config: mr.ModelRoutingConfig, store: SecretsStore, key: str) -> str:
    """Why a catalogue model is not usable: not enabled, no API key, or both."""
    spec = mr.AVAILABLE_MODELS[key]
    reasons = []
    if key not in config.enabled_models:
        reasons.append("it is not enabled (see --enabled)")
    if not store.has_key(spec.provider):
        reasons.append(f"no API key for {spec.provider} (pass --keys {spec.provider} "
                       f"or set {_env_var(spec.provider)})")
    return " and ".join(reasons) or "the router did not find it usable"


def trace_selection(description: str, *, config: mr.ModelRoutingConfig, store: SecretsStore,
                    model: str | None, scheduler: bool) -> Selection:
    """Selects a model for ``description`` as a worker (or, with ``scheduler``, a scheduled
    job) would have it selected, with ``model`` as the explicit choice."""
    capture = _Capture()
    logger = logging.getLogger("halvec.model_router")
    level = logger.level
    logger.addHandler(capture)
    logger.setLevel(logging.INFO)
    try:
        router = _TracingRouter(config, store)
        usable = [key for key in mr.AVAILABLE_MODELS if router.get_model(key) is not None]
        if scheduler:
            spec = router.select_for_scheduler(description, model)
        else:
            spec = router.select_for_worker(description, model)
    finally:
        logger.removeHandler(capture)
        logger.setLevel(level)

    default = config.default_scheduler_model if scheduler else config.default_worker_model
    explicit = None if model in (None, *_AUTO) else model
    notes: list[str] = []
    decided_by: DecidedBy
    if explicit is not None and explicit not in usable:
        notes.append(f"--model {explicit} was not honoured: {_why_not_usable(config, store, explicit)}")
    if router.tier is None:
        decided_by = "explicit" if explicit is not None and explicit in usable else "default"
    else:
        if default not in _AUTO:
            notes.append(f"the configured default {default} (--default) was not honoured: "
                         f"{_why_not_usable(config, store, default)}")
        if not router.fell_back:
            decided_by = "auto"
        elif _key_of(spec) in usable:
            decided_by = "fallback"
            notes.append(f"no model the router prefers for a {router.tier.value} task is usable; "
                         f"it took the first usable model of the enabled list")
        else:
            decided_by = "last_resort"
            enabled = [key for key in config.enabled_models if key in mr.AVAILABLE_MODELS]
            if not enabled:
                why = "no model is enabled"
            else:
                missing = list(dict.fromkeys(mr.AVAILABLE_MODELS[key].provider for key in enabled))
                why = (f"no API key for {' or '.join(missing)} (pass --keys {','.join(missing)} "
                       f"or set {' or '.join(map(_env_var, missing))})")
            notes.append(f"no model is usable: {why}; {spec.display_name} is only the router's "
                         f"last resort and cannot run as configured")
    return Selection(spec=spec, key=_key_of(spec), model_string=router.get_litellm_model_string(spec),
                     usable=_key_of(spec) in usable, decided_by=decided_by, tier=router.tier,
                     requested_model=model, default_model=default, notes=notes, log=capture.records)
