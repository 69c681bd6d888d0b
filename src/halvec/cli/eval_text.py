"""``halvec eval``'s report as text: what was read, then the tasks by tier, model, selection
stage, tier rule and pattern, and the cost; for a comparison, what changes.

Two terms, never mixed: the "selection stage" is how the router chose the model (explicit
choice, configured default, auto, fallback, last resort; "decided_by" in JSON), and the "tier
rule" is what set the task's tier (the length, a pattern, the counts; "rule" and "pattern" in
JSON). Patterns are numbered from 0 everywhere, as the lists index them.
"""

from __future__ import annotations

import json
import sys
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from halvec.cli import output
from halvec.cli.fitted_notes import note
from halvec.cli.options import AUTO, model_names, near_miss, providers
from halvec.evaluation import TIERS, Comparison, Cost, Prices, Reading, Report, Settings, Summary, TaskRule
from halvec.workload import fast_json

if TYPE_CHECKING:
    from halvec.cli.eval_report import RunFacts

__all__ = ["write_comparison", "write_report"]

_BAR_WIDTH = 30


def _bar_character() -> str:
    """A full block where standard output can show one, else ``#``."""
    encoding = getattr(sys.stdout, "encoding", None) or "ascii"
    try:
        "\u2588".encode(encoding)
    except (UnicodeEncodeError, LookupError):
        return "#"
    return "\u2588"


def _share(part: int, whole: int) -> str:
    return f"{100 * part / whole:.1f}%" if whole else "-"


def _money(amount: float, *, sign: bool = False) -> str:
    """An amount of money, always to four places (a cent's hundredth: a small workload's
    figures stay visible)."""
    return f"{amount:+,.4f}" if sign else f"{amount:,.4f}"


def _right_aligned(cells: list[str]) -> list[str]:
    width = max(map(len, cells), default=0)
    return [cell.rjust(width) for cell in cells]


def _tokens(count: int) -> str:
    for scale, unit in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if count >= scale:
            return f"{count / scale:.1f}{unit}"
    return str(count)


def _plural(n: int, word: str) -> str:
    return f"{n:,} {word}{'' if n == 1 else 's'}"


def _counts_table(title: str, counts: Mapping[str, int] | Mapping[TaskRule, int], total: int, *,
                  bars: bool) -> str:
    character = _bar_character()
    most = max(counts.values(), default=0)
    rows = []
    for name, n in counts.items():
        bar = character * round(_BAR_WIDTH * n / most) if bars and most else ""
        rows.append((name.replace("_", " "), f"{n:,}", _share(n, total), bar))
    return output.table((title, "tasks", "share", ""), rows)


def _shorten(text: str, width: int) -> str:
    """``text`` cut to about ``width`` characters (the table escapes what it shows)."""
    return text if len(text) <= width else text[:width - 3] + "..."


def _source_line(report: Report | Comparison, settings: Settings, tasks: int) -> str:
    reading = report.reading
    what = reading.format.upper() if reading.format != "text" else "text"
    if reading.format != "text":
        kind = "field" if reading.format in ("jsonl", "json") else "column"
        named = f"{kind} {json.dumps(reading.field, ensure_ascii=False)}"
        chats = reading.chat_tasks
        if not chats:
            what += f", {named}"
        elif chats == tasks:
            what += f", {_CHAT_TEXT}"
        else:
            what += f", {named}; {_plural(chats, 'chat record')}: {_CHAT_TEXT}"
    selection = "scheduled jobs" if settings.scheduler else "workers"
    source = "standard input" if reading.source == "-" else repr(reading.source)
    return f"tasks: {tasks:,} from {output.escape(source, backslash=False)} ({what}), selected as for {selection}"


_CHAT_TEXT = "messages (last user message)"
"""Where a chat record's description comes from, as the report says it."""


def _keys_line(run: RunFacts) -> str:
    if run.key_source == "assumed":
        return (f"keys: none given, so every provider ({', '.join(providers())}) is taken to have an API key: "
                f"an offline evaluation (--keys PROVIDER,... or --keys-from-env make availability real)")
    having = [p for p in providers() if run.keys.has_key(p)]
    where = {"given": "--keys", "environment": "the environment",
             "given_and_environment": "--keys and the environment"}[run.key_source]
    return f"keys: {', '.join(having) or 'none'} (from {where})"


def _last_resort_lines(summary: Summary) -> list[str]:
    """The plain warning, before any figure, when most tasks got a model that cannot run."""
    fallen, total = summary.decided_by["last_resort"], summary.tasks
    if 2 * fallen <= total:
        return []
    return [f"WARNING: {fallen:,} of {total:,} tasks ({_share(fallen, total)}) fell to the router's last resort: "
            f"no model is usable for them (see --keys and --enabled). Claude Sonnet is named for them but cannot "
            f"run as configured, so the costs and savings below describe no real routing."]


def _prices_line(prices: Prices) -> str:
    if prices.source is None:
        return ("prices: the catalogue's, per 1,000 tokens: the module's fixed defaults, which may be out of date "
                "(--prices FILE costs with yours)")
    as_of = f"as of {prices.as_of}" if prices.as_of is not None else "no as-of date"
    return f"prices: from --prices {output.escape(repr(prices.source), backslash=False)} ({as_of}), per 1,000 tokens"


def _estimate_line(cost: Cost | None, reading: Reading) -> list[str]:
    if cost is None or not cost.estimated_tasks:
        return []
    parts = []
    if cost.estimated_input_tasks:
        source = ("the description, or for a chat record its whole conversation (UTF-8 bytes / 4, rounded up)"
                  if reading.chat_tasks else "the description (its UTF-8 bytes / 4, rounded up)")
        parts.append(f"input tokens of {_plural(cost.estimated_input_tasks, 'task')} from {source}")
    if cost.estimated_output_tasks:
        parts.append(f"output tokens of {_plural(cost.estimated_output_tasks, 'task')} taken as "
                     f"{cost.output_tokens_each:,} each (--output-tokens M sets it)")
    return [f"estimated, as the records give no count: {'; '.join(parts)}"]


def _reading_lines(report: Report | Comparison) -> list[str]:
    reading = report.reading
    lines = []
    if reading.blank_lines:
        lines.append(f"blank lines: {reading.blank_lines:,} (no task)")
    if reading.replaced_lines:
        lines.append(f"lines read with U+FFFD for what is not UTF-8: {reading.replaced_lines:,}")
    if reading.bad_lines:
        kept = reading.first_bad_lines
        shown = f" (the first {len(kept)}:)" if reading.bad_lines > len(kept) else ":"
        lines.append(f"bad lines skipped: {reading.bad_lines:,}{shown}")
        for bad in kept:
            lines.append(f"  line {bad.line}: {output.escape(bad.problem, backslash=False)}")
        if reading.bad_lines > len(kept):
            lines.append(f"  and {reading.bad_lines - len(kept):,} more")
    if reading.outside_catalogue_tasks:
        lines.append(_outside_line(reading))
    return lines


_NAMES_SHOWN = 5


def _outside_line(reading: Reading) -> str:
    """The tasks that named models outside the catalogue, and the most frequent names (with
    a hint for one spelt as a catalogue name is, but for letter case and punctuation: another
    near miss, such as claude-opus-4-5, is as likely another model)."""
    names = reading.outside_catalogue
    shown = []
    for name, n in names[:_NAMES_SHOWN]:
        near = near_miss(name, [*model_names(), AUTO])
        hint = near is not None and _letters(near) == _letters(name)
        shown.append(f"{output.escape(name)} {n:,}" + (f" (did you mean {near!r}?)" if hint else ""))
    more = reading.outside_catalogue_tasks - sum(n for _, n in names[:_NAMES_SHOWN])
    if more:
        shown.append(f"others {more:,}")
    tasks = reading.outside_catalogue_tasks
    return (f"note: {_plural(tasks, 'task')} named {'a model' if tasks == 1 else 'models'} outside the catalogue "
            f"and {'was' if tasks == 1 else 'were'} routed as requesting none: {', '.join(shown)}")


def _letters(text: str) -> str:
    return "".join(c for c in text.casefold() if c.isalnum())


def _head(report: Report | Comparison, run: RunFacts, summary: Summary) -> list[str]:
    """The report's first lines: what was read, with which keys and prices, what was estimated."""
    return [_source_line(report, run.settings, summary.tasks), _keys_line(run), *_last_resort_lines(summary),
            _prices_line(run.prices), *_estimate_line(summary.cost, report.reading), *_reading_lines(report)]


def _stage_lines(summary: Summary) -> list[str]:
    stages = ", ".join(f"{name.replace('_', ' ')} {n:,}" for name, n in summary.decided_by.items())
    lines = [f"selection stage: {stages}"]
    if summary.requests_not_honoured:
        lines.append(f"note: {summary.requests_not_honoured:,} tasks asked for a model that is not usable "
                     f"(not enabled, or no API key) and were routed another way")
    if summary.decided_by["fallback"]:
        lines.append(f"note: {summary.decided_by['fallback']:,} tasks fell back to the first usable enabled "
                     f"model: no model the router prefers for their tier is usable")
    if summary.decided_by["last_resort"]:
        lines.append(f"note: {summary.decided_by['last_resort']:,} tasks got the last resort: no model is "
                     f"usable (see --keys and --enabled), so Claude Sonnet is named but cannot run")
    return lines


def _rule_lines(summary: Summary) -> list[str]:
    lines = _counts_table("tier rule", summary.rules_shown, summary.tasks, bars=False).splitlines()
    share = summary.counts_share
    if not summary.rules["fitted"]:  # a fitted router reads no counts
        lines.append(f"tier set by the word and tool counts alone: "
                     f"{'-' if share is None else f'{100 * share:.1f}%'}")
    unspaced = sum(summary.unspaced.values())
    if unspaced:
        lines.append(f"note: {_plural(unspaced, 'task')} ({_share(unspaced, summary.tasks)}) "
                     f"{'is' if unspaced == 1 else 'are'} written mostly in a script without spaces between words "
                     f"(Chinese, Japanese, Thai and the like). The classifier counts words by white space, so it "
                     f"sees such a task as a few words: {summary.unspaced['simple']:,} of "
                     f"{'it' if unspaced == 1 else 'them'} {'is' if summary.unspaced['simple'] == 1 else 'are'} "
                     f"simple")
    return lines


def _pattern_name(pattern_list: str, index: int) -> str:
    return f"{pattern_list} {index}"


def _pattern_lines(summary: Summary) -> list[str]:
    # A pattern's backslashes are its own escapes: shown single, as in the patterns file.
    rows = [(_pattern_name(entry.list, entry.index),
             output.Escaped(output.escape(_shorten(entry.pattern, 60), backslash=False)),
             f"{entry.tasks:,}", _share(entry.tasks, summary.tasks)) for entry in summary.patterns]
    lines = [output.table(("pattern", "(numbered from 0)", "tasks", "share"), rows)]
    never = summary.never_decided
    if never:
        lines.append(f"never set a tier: {', '.join(_pattern_name(p.list, p.index) for p in never)}")
    return lines


def _cost_lines(summary: Summary, run: RunFacts) -> list[str]:
    cost = summary.cost
    if cost is None:
        return ["cost: no tasks"]
    prices = "the catalogue's prices" if cost.prices.source is None else "the prices of --prices"
    estimated = f", {_plural(cost.estimated_tasks, 'task')} estimated" if cost.estimated_tasks else ""
    lines = [f"cost at {prices} per 1,000 tokens, for {_plural(cost.costed_tasks, 'task')} "
             f"({_tokens(cost.input_tokens)} input and {_tokens(cost.output_tokens)} output tokens{estimated}), "
             f"cheapest first:"]
    names = [("routed" if name == "routed" else f"{name} alone") for name, _ in cost.ranking]
    amounts = _right_aligned([_money(amount) for _, amount in cost.ranking])
    rows = [(f"{rank}", name, amount) for rank, (name, amount) in enumerate(zip(names, amounts), 1)]
    lines += ["  " + line for line in output.table(("rank", "routing or model", "cost"), rows).splitlines()]
    if cost.cheaper_alone:
        cheaper = ", ".join(f"{key} ({_money(cost.alone[key])})" for key in cost.cheaper_alone)
        lines.append(f"note: {'this model' if len(cost.cheaper_alone) == 1 else 'these models'} alone cost"
                     f"{'s' if len(cost.cheaper_alone) == 1 else ''} less than the routing ({_money(cost.routed)}): "
                     f"{cheaper}")
    why = "--baseline" if cost.baseline_basis == "given" else "the most expensive model alone"
    share = f" ({100 * cost.saving_share:.1f}%)" if cost.saving_share is not None else ""
    more = "; the routing costs more" if cost.saving < 0 else ""
    lines.append(f"saving against {cost.baseline} alone ({why}): {_money(cost.saving)}{share}{more}. "
                 f"Cost only: quality is not measured here; halvec bench measures it.")
    return lines


def write_report(report: Report, run: RunFacts) -> None:
    summary = report.summary
    total = summary.tasks
    blocks: list[list[str]] = [_head(report, run, summary)]
    if not fast_json() and report.reading.format == "jsonl" and total >= 1_000_000:
        blocks[0].append("(install orjson, pip install 'halvec[fast]', to read JSON lines faster)")
    blocks.append([_counts_table("tier", summary.tiers, total, bars=True)])
    blocks.append([_counts_table("model", summary.models, total, bars=True), *_stage_lines(summary)])
    blocks.append(_rule_lines(summary))
    if run.fitted is not None:
        blocks.append([output.escape(f"fitted router {note(run.fitted)}", backslash=False)])
    if not summary.rules["fitted"]:  # a fitted router reads no patterns
        blocks.append(_pattern_lines(summary))
    blocks.append(_cost_lines(summary, run))
    output.line("\n\n".join("\n".join(block) for block in blocks))


def write_comparison(comparison: Comparison, run: RunFacts, patterns: str, out_path: str | None, *,
                      router: bool = False) -> None:
    before, after = comparison.before, comparison.after
    total = before.tasks
    sides = (f"before: the default rules; after: the fitted router {output.escape(repr(patterns))}" if router else
             f"before: the pattern lists in force; after: {output.escape(repr(patterns))}")
    blocks: list[list[str]] = [[*_head(comparison, run, before), sides]]
    rows = [(tier, *(f"{comparison.transitions[tier][other]:,}" for other in TIERS),
             f"{before.tiers[tier]:,}") for tier in TIERS]
    rows.append(("total", *(f"{after.tiers[other]:,}" for other in TIERS), f"{total:,}"))
    blocks.append(["tiers, before (rows) and after (columns):",
                   output.table(("before", *TIERS, "total"), rows),
                   f"tasks whose tier changes: {comparison.changed:,} ({_share(comparison.changed, total)})"])
    model_rows = [(key, f"{before.models[key]:,}", _share(before.models[key], total), f"{after.models[key]:,}",
                   _share(after.models[key], total), f"{after.models[key] - before.models[key]:+,}")
                  for key in before.models]
    blocks.append([output.table(("model", "before", "share", "after", "share", "change"), model_rows)])
    rule_rows = [(rule.replace("_", " "), f"{before.rules[rule]:,}", f"{after.rules[rule]:,}",
                  f"{after.rules[rule] - before.rules[rule]:+,}") for rule in {**before.rules_shown, **after.rules_shown}]
    blocks.append([output.table(("tier rule", "before", "after", "change"), rule_rows)])
    if run.fitted is not None:
        blocks.append([output.escape(f"after, fitted router {note(run.fitted)}", backslash=False)])
    never = after.never_decided
    if never and not router:
        blocks.append([f"after, never set a tier (patterns numbered from 0): "
                       f"{', '.join(_pattern_name(p.list, p.index) for p in never)}"])
    if before.cost is not None and after.cost is not None:
        figures = [(before.cost.routed, after.cost.routed), (before.cost.saving, after.cost.saving)]
        columns = [_right_aligned([_money(pair[0]) for pair in figures]),
                   _right_aligned([_money(pair[1]) for pair in figures]),
                   _right_aligned([_money(pair[1] - pair[0], sign=True) for pair in figures])]
        labels = ["as routed", f"saving against {before.cost.baseline} alone"]
        cost_rows = [(label, *(column[i] for column in columns)) for i, label in enumerate(labels)]
        blocks.append([output.table(("cost", "before", "after", "change"), cost_rows),
                       "Cost only: quality is not measured here; halvec bench measures it."])
    if comparison.changes:
        shown = len(comparison.changes)
        head = (f"the first {shown} of {comparison.changed:,} tasks that change"
                if comparison.changed > shown else "the tasks that change")
        if comparison.changed > shown:
            head += " (all of them with --out FILE)" if out_path is None else f" (all of them in {out_path!r})"
        change_rows = [(f"{change.line}", _shorten(_id_text(change.id), 24),
                        f"{change.before.tier} -> {change.after.tier}", f"{change.before.model} -> {change.after.model}",
                        f"{_tier_rule(change.before)} -> {_tier_rule(change.after)}",
                        _shorten(change.description, 50)) for change in comparison.changes]
        blocks.append([head + "; patterns are numbered from 0:",
                       output.table(("line", "id", "tier", "model", "tier rule", "description"), change_rows)])
    output.line("\n\n".join("\n".join(block) for block in blocks))


def _id_text(value: Any) -> str:
    return "" if value is None else value if isinstance(value, str) else json.dumps(value)


def _tier_rule(outcome: Any) -> str:
    if outcome.pattern_list is not None:
        return _pattern_name(outcome.pattern_list, outcome.pattern_index)
    return str(outcome.rule)


