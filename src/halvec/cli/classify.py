"""``halvec classify``: the complexity tier of a task description, and with ``--explain``
the rule that decided it."""

from __future__ import annotations

import argparse
from typing import TypedDict

from halvec.cli import output
from halvec.cli.explaining import ReasonJSON, classifier_errors_are_input_errors, describe_counts, describe_rule, reason_json
from halvec.cli.fitted_choice import (ChoiceReasonJSON, catalogue_tier, choice_json, choose, describe_choice,
                                      explain_choice)
from halvec.cli.fitted_router import (ScoreReasonJSON, add_router_option, describe_score, fitted_from_args,
                                      score_json)
from halvec.cli.inputs import read_text, refuse_report_into_inputs
from halvec.cli.options import Command, TextSource, UsageError, add_json_option, add_text_source
from halvec.cli.status import ExitStatus
from halvec.explain import explain_complexity
from halvec.fitted import FittedRouter, ScoreExplanation, explain_score

__all__ = ["COMMAND", "ClassifyJSON", "tool_count"]


class ClassifyJSON(TypedDict):
    """The object ``halvec classify --json`` prints; its keys are stable."""

    tier: str
    reason: ReasonJSON | ScoreReasonJSON | ChoiceReasonJSON | None
    """The explanation, with ``--explain``; else null. With ``--router``, the fitted
    router's (``"rule": "fitted"``; for a router of many models, its choice among them:
    ``"rule": "fitted models"``)."""


def tool_count(text: str) -> int:
    """A number of tools: a whole number, 0 or more."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number of tools, 0 or more, not {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a whole number of tools, 0 or more, not {text!r}")
    return value


def _add_arguments(parser: argparse.ArgumentParser) -> None:
    add_text_source(parser, "description", "the task or job description")
    parser.add_argument("--tool-count", type=tool_count, default=0, metavar="N",
                        help="the number of tools the task will use (default: 0)")
    parser.add_argument("--explain", action="store_true",
                        help="say which rule decided: the pattern that matched, what and where, or the counts "
                             "(with --router: the score, the cut points and the n-grams that weighed most; for a router "
                             "of many models, every model's result, price and objective and the n-grams that "
                             "separated the chosen model from the runner-up)")
    add_router_option(parser)
    add_json_option(parser)


def _run(args: argparse.Namespace) -> int:
    count: int = args.tool_count
    if args.router is not None and count:
        raise UsageError("--tool-count is read by the default rules only, which --router replaces")
    source = TextSource.from_args(args, "description")
    refuse_report_into_inputs(source, [("--patterns", getattr(args, "patterns", None)), ("--router", args.router)])
    fitted = fitted_from_args(args, models=True)
    text = read_text(source)
    if text.replaced is not None:
        parser: argparse.ArgumentParser = args.parser
        output.message(f"{parser.prog}: warning: {output.escape(text.replaced, backslash=False)}\n")
    if fitted is not None and fitted.version == 2:
        _write_choice(fitted, text.text, explain=bool(args.explain), json=bool(args.json))
        return ExitStatus.OK
    if fitted is not None:
        if not args.explain:  # the native score alone: an explanation costs far more, on a long text
            tier = fitted.tier(text.text).value
            if args.json:
                output.json_document(ClassifyJSON(tier=tier, reason=None))
            else:
                output.line(tier)
            return ExitStatus.OK
        scored = explain_score(fitted, text.text)
        assert isinstance(scored, ScoreExplanation)
        if args.json:
            output.json_document(ClassifyJSON(tier=scored.tier.value, reason=score_json(scored)))
        else:
            output.line(f"tier:         {scored.tier.value}")
            for line in describe_score(scored):
                output.line(line)
        return ExitStatus.OK
    with classifier_errors_are_input_errors():
        explanation = explain_complexity(text.text, count)
    if args.json:
        document: ClassifyJSON = {"tier": explanation.tier.value,
                                  "reason": reason_json(explanation) if args.explain else None}
        output.json_document(document)
    elif args.explain:
        output.line(f"tier:         {explanation.tier.value}")
        output.line(f"rule:         {describe_rule(explanation, text.text)}")
        output.line(f"counted:      {describe_counts(explanation)}")
    else:
        output.line(explanation.tier.value)
    return ExitStatus.OK


def _write_choice(fitted: FittedRouter, text: str, *, explain: bool, json: bool) -> None:
    """A version-2 router's choice: the chosen model's catalogue tier, and with ``explain`` why."""
    if not explain:
        tier = choose(fitted, text)[1]
        if json:
            output.json_document(ClassifyJSON(tier=tier, reason=None))
        else:
            output.line(tier)
        return
    explained, keys = explain_choice(fitted, text)
    tier = catalogue_tier(keys[explained.chosen])
    if json:
        output.json_document(ClassifyJSON(tier=tier, reason=choice_json(explained, keys, tier)))
        return
    output.line(f"tier:         {tier}")
    for line in describe_choice(explained, keys):
        output.line(line)


COMMAND = Command(
    name="classify",
    help="sort a task description into a complexity tier",
    description="Sort a task description into a complexity tier (simple, moderate or complex) as the "
                "router does, and with --explain say which rule decided.",
    add_arguments=_add_arguments,
    run=_run,
)
