"""``halvec route``: choose a model for a task or a scheduled job, and say how.

The choice is the router's own call, explained by :func:`halvec.explain.explain_selection`:
which stage decided, the tier and (with ``--explain``) the rule behind it, and every model
passed over and why. The notes add what the user can do about it; the module's log lines are
shown as the call wrote them."""

from __future__ import annotations

import argparse
import logging
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Literal, TypedDict

from halvec.cli import output
from halvec.cli.explaining import (PassedOverJSON, ReasonJSON, classifier_errors_are_input_errors, describe_counts,
                                   describe_passed_over, describe_rule, passed_over_json, reason_json)
from halvec.cli.fitted_choice import ChoiceReasonJSON, choice_json, describe_choice
from halvec.cli.fitted_router import (ScoreReasonJSON, add_router_option, describe_score, fitted_from_args,
                                      score_json)
from halvec.cli.inputs import read_text, refuse_report_into_inputs
from halvec.cli.options import (Command, RouterOptions, TextSource, add_json_option,
                                add_router_options, add_text_source, model_choice, model_keys)
from halvec.cli.status import ExitStatus
from halvec.config import SecretsStore
from halvec.core import model_router as mr
from halvec.explain import ComplexityExplanation, DecidedBy, PassedOver, SelectionExplanation, explain_selection
from halvec.fitted import ChoiceExplanation, FittedModelRouter, ScoreExplanation

__all__ = ["COMMAND", "LogLine", "RouteJSON"]


class LogLine(TypedDict):
    """A log line of the module: its level's name and its message."""

    level: str
    message: str


class RouteJSON(TypedDict):
    """The object ``halvec route --json`` prints; its keys are stable."""

    model: str | None
    display_name: str
    provider: str
    model_string: str
    usable: bool
    decided_by: DecidedBy
    complexity: str | None
    selection_for: Literal["worker", "scheduler"]
    requested_model: str | None
    default_model: str
    passed_over: list[PassedOverJSON]
    reason: ReasonJSON | ScoreReasonJSON | ChoiceReasonJSON | None
    """The classification's explanation, with ``--explain`` when the choice by complexity ran
    (with ``--router``, the fitted router's: ``"rule": "fitted"``; for a router of many models,
    its choice among them, ``"rule": "fitted models"``)."""
    notes: list[str]
    log: list[LogLine]


def _add_arguments(parser: argparse.ArgumentParser) -> None:
    keys = ", ".join(model_keys())
    add_text_source(parser, "description", "the task or job description")
    parser.add_argument("--model", type=model_choice, metavar="KEY",
                        help=f"explicit model choice: {keys}, or auto (the default)")
    parser.add_argument("--default", type=model_choice, metavar="KEY",
                        help=f"configured default model: {keys}, or auto (the default)")
    parser.add_argument("--scheduler", action="store_true",
                        help="select for a scheduled job (its own default, no log lines)")
    parser.add_argument("--cost-conscious", action="store_true", help="prefer cheaper models")
    add_router_options(parser)
    add_router_option(parser)
    parser.add_argument("--explain", action="store_true",
                        help="also show the models passed over and the rule that decided the tier")
    add_json_option(parser)


class _Capture(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.records: list[LogLine] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append({"level": record.levelname, "message": record.getMessage()})


@contextmanager
def _module_log() -> Iterator[list[LogLine]]:
    """The lines the module logs meanwhile, at INFO and above."""
    capture = _Capture()
    logger = logging.getLogger("halvec.model_router")
    level = logger.level
    logger.addHandler(capture)
    logger.setLevel(logging.INFO)
    try:
        yield capture.records
    finally:
        logger.removeHandler(capture)
        logger.setLevel(level)


def _run(args: argparse.Namespace) -> int:
    source = TextSource.from_args(args, "description")
    refuse_report_into_inputs(source, [("--patterns", getattr(args, "patterns", None)), ("--router", args.router)])
    fitted = fitted_from_args(args, models=True)
    text = read_text(source)
    if text.replaced is not None:
        parser: argparse.ArgumentParser = args.parser
        output.message(f"{parser.prog}: warning: {output.escape(text.replaced, backslash=False)}\n")
    options = RouterOptions.from_args(args)
    model: str | None = args.model
    scheduler = bool(args.scheduler)
    config = options.config(default=args.default, scheduler=scheduler)
    store = options.store()
    router = mr.ModelRouter(config, store) if fitted is None else FittedModelRouter(fitted, config, store)
    with _module_log() as log, classifier_errors_are_input_errors():
        selection = explain_selection(router, text.text, model, scheduler=scheduler)
    default = config.default_scheduler_model if scheduler else config.default_worker_model
    keys = fitted.catalogue_keys() if fitted is not None and fitted.version == 2 else {}
    route = _Route(selection, router.get_litellm_model_string(selection.spec), model, default,
                   _notes(selection, config, store), log, keys)
    if args.json:
        output.json_document(route.as_json(scheduler, explain=bool(args.explain)))
    else:
        route.write_text(text.text, explain=bool(args.explain))
    return ExitStatus.OK if route.usable else ExitStatus.NO_USABLE_MODEL


# --- notes: what was not honoured, and what to do about it -----------------------------------

def _env_var(provider: str) -> str:
    return f"{provider.upper()}_API_KEY"


def _why(passed: PassedOver, config: mr.ModelRoutingConfig, store: SecretsStore) -> str:
    """Why a model was passed over, for the user: the router's reason and, since the router
    stops at the first, whether the provider's key is missing too."""
    if passed.reason == "not a catalogue key":
        return "it is not a model of the catalogue"
    reasons = []
    if passed.reason == "not enabled":
        reasons.append("it is not enabled (see --enabled)")
    provider = mr.AVAILABLE_MODELS[passed.key].provider
    if passed.reason == "no key for its provider" or not store.has_key(provider):
        reasons.append(f"no API key for {provider} (pass --keys {provider} or set {_env_var(provider)})")
    return " and ".join(reasons)


def _notes(selection: SelectionExplanation, config: mr.ModelRoutingConfig, store: SecretsStore) -> list[str]:
    notes = []
    for passed in selection.passed_over:
        if passed.stage == "explicit":
            notes.append(f"--model {passed.key} was not honoured: {_why(passed, config, store)}")
        elif passed.stage == "default":
            notes.append(f"the configured default {passed.key} (--default) was not honoured: "
                         f"{_why(passed, config, store)}")
    tier = selection.tier.value if selection.tier is not None else None
    if selection.decided_by == "fallback" and selection.among_models:
        notes.append("none of the fitted router's models is usable; it took the first usable model of the "
                     "enabled list")
    elif selection.decided_by == "fallback":
        notes.append(f"no model the router prefers for a {tier} task is usable; it took the first usable "
                     f"model of the enabled list")
    elif selection.decided_by == "last_resort":
        enabled = [key for key in config.enabled_models if key in mr.AVAILABLE_MODELS]
        if not enabled:
            why = "no model is enabled"
        else:
            missing = list(dict.fromkeys(mr.AVAILABLE_MODELS[key].provider for key in enabled))
            why = (f"no API key for {' or '.join(missing)} (pass --keys {','.join(missing)} "
                   f"or set {' or '.join(map(_env_var, missing))})")
        notes.append(f"no model is usable: {why}; {selection.spec.display_name} is only the router's "
                     f"last resort and cannot run as configured")
    return notes


# --- output ----------------------------------------------------------------------------------

def _reason_json(selection: SelectionExplanation, keys: dict[str, str],
                 tier: str | None) -> ReasonJSON | ScoreReasonJSON | ChoiceReasonJSON | None:
    reason = selection.complexity or selection.fitted
    if reason is None:
        return None
    if isinstance(reason, ComplexityExplanation):
        return reason_json(reason)
    if isinstance(reason, ChoiceExplanation):
        return choice_json(reason, keys, tier)
    return score_json(reason)


_DECIDED_BY_TEXT: dict[DecidedBy, str] = {
    "explicit": "explicit choice (--model {model})",
    "default": "configured default (--default {default})",
    "auto": "auto [{tier}]",
    "fallback": "auto [{tier}], fallback: first usable enabled model",
    "last_resort": "last resort: no model is usable (auto [{tier}] found none)",
}


class _Route:
    """A choice of the router, explained, with what the command adds."""

    def __init__(self, selection: SelectionExplanation, model_string: str, requested_model: str | None,
                 default_model: str, notes: list[str], log: list[LogLine], keys: dict[str, str]) -> None:
        self.selection = selection
        self.model_string = model_string
        self.requested_model = requested_model
        self.default_model = default_model
        self.notes = notes
        self.log = log
        self.keys = keys
        """A version-2 fitted router's models, to the catalogue keys its file maps them to."""
        self.tier = selection.tier.value if selection.tier is not None else None

    @property
    def usable(self) -> bool:
        """False only for the router's last resort, a model that cannot run as configured."""
        return self.selection.decided_by != "last_resort"

    def as_json(self, scheduler: bool, *, explain: bool) -> RouteJSON:
        s = self.selection
        return {
            "model": s.key,
            "display_name": s.spec.display_name,
            "provider": s.spec.provider,
            "model_string": self.model_string,
            "usable": self.usable,
            "decided_by": s.decided_by,
            "complexity": self.tier,
            "selection_for": "scheduler" if scheduler else "worker",
            "requested_model": self.requested_model,
            "default_model": self.default_model,
            "passed_over": passed_over_json(s.passed_over),
            "reason": _reason_json(s, self.keys, self.tier) if explain else None,
            "notes": self.notes,
            "log": self.log,
        }

    def write_text(self, description: str, *, explain: bool) -> None:
        """The choice for a reader: every text that did not come from this program is escaped."""
        s = self.selection
        decided = _DECIDED_BY_TEXT[s.decided_by].format(
            model=self.requested_model, default=self.default_model, tier=self.tier)
        e = output.escape
        output.line(f"model:        {e(s.spec.display_name)} ({e(str(s.key))})")
        output.line(f"decided by:   {e(decided)}")
        output.line(f"model string: {e(self.model_string)}")
        if explain:
            among = "among the fitted router's models" if s.among_models else self.tier
            for passed in s.passed_over:
                stage_tier = among if passed.stage == "auto" else self.tier
                output.line(f"passed over:  {describe_passed_over(passed, stage_tier)}")
            if s.complexity is not None:
                output.line(f"tier:         {self.tier}")
                output.line(f"rule:         {describe_rule(s.complexity, description)}")
                output.line(f"counted:      {describe_counts(s.complexity)}")
            elif isinstance(s.fitted, ChoiceExplanation):
                output.line(f"tier:         {self.tier}")
                for line in describe_choice(s.fitted, self.keys):
                    output.line(line)
            elif s.fitted is not None:
                output.line(f"tier:         {self.tier}")
                for line in describe_score(s.fitted):
                    output.line(line)
        for note in self.notes:
            output.line(f"note:         {e(note)}")
        output.line("log:" + ("" if self.log else " (none)"))
        for record in self.log:
            output.line(f"  {e(record['level'])} {e(record['message'])}")


COMMAND = Command(
    name="route",
    help="choose a model for a task or a scheduled job",
    description="Choose a model for a worker task (or, with --scheduler, a scheduled job) and say "
                "how the choice was made.",
    add_arguments=_add_arguments,
    run=_run,
)
