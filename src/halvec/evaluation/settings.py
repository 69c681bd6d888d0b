"""How a workload is routed and costed: :class:`Settings`, the keys fixed for the run
(:class:`ProviderKeys`) and the routing preferences read from a file (:func:`load_config`)."""

from __future__ import annotations

import json
import os
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any, Final

from halvec._json_keys import DuplicateKey, line_of_repeat, without_duplicates
from halvec.core import model_router as mr
from halvec.evaluation.files import SettingsFileError, read_settings_file
from halvec.evaluation.prices import Prices
from halvec.reading import near_miss

__all__ = ["CONFIG_KEYS", "ProviderKeys", "Settings", "load_config"]

CONFIG_KEYS: Final = ("enabled_models", "cost_conscious", "default_worker_model", "default_scheduler_model")
"""The keys of the preferences' dictionary form."""
_AUTO: Final = "auto"


@dataclass(frozen=True)
class ProviderKeys:
    """A secrets store with an API key for exactly the providers it names, fixed for the run:
    an evaluation answers the same way on any machine, and in every process of a run."""

    providers: frozenset[str]

    def has_key(self, provider: str) -> bool:
        return provider in self.providers

    @classmethod
    def from_environment(cls, also: Iterable[str] = ()) -> ProviderKeys:
        """The providers named, and those whose ``<PROVIDER>_API_KEY`` the environment holds
        (as the host's secrets store reads it)."""
        found = {spec.provider for spec in mr.AVAILABLE_MODELS.values()
                 if os.environ.get(f"{spec.provider.upper()}_API_KEY")}
        return cls(frozenset(also) | frozenset(found))


@dataclass(frozen=True)
class Settings:
    """How the workload is routed and costed, and what its per-task lines carry."""

    config: mr.ModelRoutingConfig
    store: Any
    """The secrets store (anything with ``has_key(provider)``)."""
    scheduler: bool = False
    """Select as for scheduled jobs (``select_for_scheduler``) rather than workers."""
    model: str | None = None
    """The model requested for tasks that request none themselves."""
    input_tokens: int | None = None
    """Input tokens of a task whose record has no count of its own."""
    output_tokens: int | None = None
    baseline: str | None = None
    """The model to state the saving against; None: the one that costs the most alone."""
    prices: Prices | None = None
    """None: the catalogue's prices."""
    with_text: bool = False
    """Per-task lines carry the description."""

    @property
    def costed_with(self) -> Prices:
        """The prices the run costs with."""
        return self.prices or Prices.catalogue()


def load_config(path: str) -> mr.ModelRoutingConfig:
    """The preferences in a JSON file of their dictionary form, checked: an object with only
    the four keys (:data:`CONFIG_KEYS`), each with a value of its kind; model keys exactly as
    the catalogue spells them. OSError when the file cannot be read; :class:`SettingsFileError`
    (naming the file as the path, and the line for bad JSON) for what is wrong in it."""
    where = repr(path)
    text = read_settings_file(path)
    try:
        document = json.loads(text, object_pairs_hook=without_duplicates)
    except json.JSONDecodeError as error:
        raise SettingsFileError(where, f"not JSON: {error.msg} (column {error.colno})", error.lineno) from None
    except DuplicateKey as duplicate:
        raise SettingsFileError(where, f"the key {duplicate.key!r} is given twice (a JSON object's keys are given "
                                       f"once)", line_of_repeat(text, duplicate.key)) from None
    except RecursionError:
        raise SettingsFileError(where, "not JSON: nested too deeply") from None
    except ValueError as error:  # a number too long to convert
        raise SettingsFileError(where, f"not JSON: {error}") from None
    _check_config(document, where)
    return mr.ModelRoutingConfig.from_dict(document)


def _check_config(document: Any, where: str) -> None:
    form = "the preferences' dictionary form"
    if not isinstance(document, dict):
        raise SettingsFileError(where, f"not {form}: a JSON object with the keys {', '.join(CONFIG_KEYS)}")
    unknown = [key for key in document if key not in CONFIG_KEYS]
    if unknown:
        hints = [hint for key in unknown if (hint := near_miss(key, CONFIG_KEYS)) is not None]
        raise SettingsFileError(where, f"not {form}: unknown key{'s' if len(unknown) > 1 else ''} "
                                       f"{', '.join(map(repr, unknown))} (the keys are {', '.join(CONFIG_KEYS)})"
                                       + (f"; did you mean {hints[0]!r}?" if len(unknown) == 1 and hints else ""))
    if "enabled_models" in document:
        enabled = document["enabled_models"]
        if not isinstance(enabled, list):
            raise SettingsFileError(where, "'enabled_models' must be a list of model keys")
        for key in enabled:
            _check_model("enabled_models", key, where, auto=False)
    if "cost_conscious" in document and not isinstance(document["cost_conscious"], bool):
        raise SettingsFileError(where, "'cost_conscious' must be true or false")
    for name in ("default_worker_model", "default_scheduler_model"):
        if name in document:
            _check_model(name, document[name], where, auto=True)


def _check_model(name: str, value: object, where: str, *, auto: bool) -> None:
    valid = list(mr.AVAILABLE_MODELS)
    if isinstance(value, str) and (value in valid or (auto and value == _AUTO)):
        return
    choices = ", ".join(valid) + (", or auto" if auto else "")
    if not isinstance(value, str):
        raise SettingsFileError(where, f"{name!r} holds {json.dumps(value)[:60]}, not a model key ({choices})")
    hint = near_miss(value, [*valid, *([_AUTO] if auto else [])])
    raise SettingsFileError(where, f"{name!r} holds the unknown model key {value!r} (choose from {choices})"
                                   + (f"; did you mean {hint!r}?" if hint is not None else ""))
