"""A whole workload routed: each task's tier, deciding rule and pattern as the module's own
classifier finds them, its model as a real ``ModelRouter`` chooses it, and the totals:
tasks per tier, model, deciding rule and pattern, the stages that decided, and the
workload's cost as routed, with each catalogue model alone, and against a baseline.

A comparison (:func:`compare`) classifies every task twice, with the lists in force and with
another pair, and reports what changes. Cost comes from prices per 1,000 input and output
tokens (the catalogue's, or a prices file's: :class:`Prices`) and each task's token counts:
its own, else the run's flat counts, else an estimate (:func:`estimate_input_tokens` for the
input, :data:`ESTIMATED_OUTPUT_TOKENS` for the output), which is counted and marked.

The modules:

- :mod:`~halvec.evaluation.settings`, :mod:`~halvec.evaluation.prices` and
  :mod:`~halvec.evaluation.files`: how a run routes and costs, with the preferences and
  prices files that say so;
- :mod:`~halvec.evaluation.results`: what a run finds, each result with its JSON form;
- :mod:`~halvec.evaluation.explainers`, :mod:`~halvec.evaluation.tokens` and
  :mod:`~halvec.evaluation.tally`: one side of a run, a batch at a time;
- :mod:`~halvec.evaluation.runs`: a workload evaluated or compared in this process;
- :mod:`~halvec.evaluation.parts`: a file evaluated in parts by several processes;
- :mod:`~halvec.evaluation.driver`: :func:`run_evaluation`, which chooses among them.
"""

from __future__ import annotations

from halvec.evaluation.driver import run_evaluation
from halvec.evaluation.explainers import (BatchExplainer, Explainer, Facts, RouterFactory, Tiering, batch_of,
                                          estimate_input_tokens, mostly_unspaced, new_explainer)
from halvec.evaluation.files import SettingsFileError
from halvec.evaluation.parts import MIN_PART, PartFailed, Progress, evaluate_stream, usable_cores
from halvec.evaluation.prices import (COST_DIGITS, MOST_PRICE, CostOverflow, PriceJSON, Prices, PricesJSON,
                                      load_prices, rounded_cost, task_cost)
from halvec.evaluation.results import (DECIDED_BY, RULES, TIERS, BadLineJSON, BaselineJSON, Change, Comparison,
                                       Cost, CostJSON, InputJSON, ModelNameJSON, NeverDecidedJSON, Outcome,
                                       OutsideCatalogueJSON, Part, PatternCount, PatternJSON, RankJSON, Reading,
                                       Report, Summary, SummaryJSON, TaskRule, change_json, outcome_json)
from halvec.evaluation.runs import CHANGES_KEPT, combine, compare, evaluate, evaluate_part, write_all
from halvec.evaluation.settings import CONFIG_KEYS, ProviderKeys, Settings, load_config
from halvec.evaluation.tokens import ESTIMATED_OUTPUT_TOKENS

__all__ = ["CHANGES_KEPT", "CONFIG_KEYS", "COST_DIGITS", "DECIDED_BY", "ESTIMATED_OUTPUT_TOKENS", "MIN_PART",
           "MOST_PRICE", "RULES", "TIERS", "BadLineJSON", "BaselineJSON", "BatchExplainer", "Change", "Comparison",
           "Cost", "CostJSON", "CostOverflow", "Explainer", "Facts", "InputJSON", "ModelNameJSON",
           "NeverDecidedJSON", "Outcome", "OutsideCatalogueJSON", "Part", "PartFailed", "PatternCount",
           "PatternJSON", "PriceJSON", "Prices", "PricesJSON", "Progress", "ProviderKeys", "RankJSON", "Reading",
           "Report", "RouterFactory", "Settings", "SettingsFileError", "Summary", "SummaryJSON", "TaskRule",
           "Tiering", "batch_of", "change_json", "combine", "compare", "estimate_input_tokens",
           "evaluate", "evaluate_part", "evaluate_stream", "load_config", "load_prices", "mostly_unspaced",
           "new_explainer", "outcome_json", "rounded_cost", "run_evaluation", "task_cost", "usable_cores",
           "write_all"]
