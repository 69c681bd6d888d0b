"""Prices per 1,000 input and output tokens: the catalogue's (fixed in the module, and aging),
or a prices file's; and costs computed and rounded the one way every part of a run rounds
them.

A prices file is TOML when its name ends in ``.toml``, JSON otherwise, and holds a ``models``
table with an ``input`` and an ``output`` price for every catalogue model, and an optional
``as_of`` date::

    as_of = 2025-06-01
    [models.claude-opus]
    input = 0.015
    output = 0.075
    ...

It is checked strictly, since a price mistyped would move every figure of a report quietly: a
key the file may not hold (with a hint for a near miss), a model left out, a field missing, a
price that is not a finite number from 0 to :data:`MOST_PRICE`, a key written twice.

Outcome files name their models as they please: read with ``any_model``, the ``models`` table
may name any model (not a blank name), and need not name every catalogue model; the caller says
which of the models it measures have no price.
"""

from __future__ import annotations

import datetime
import json
import math
from dataclasses import dataclass
from typing import Any, Final, Literal, TypedDict

from halvec.core import model_router as mr
from halvec.evaluation.files import SettingsFileError, read_settings_file
from halvec.reading import parsed_document, unknown

__all__ = ["COST_DIGITS", "MOST_PRICE", "CostOverflow", "PriceJSON", "Prices", "PricesJSON", "load_prices",
           "rounded_cost", "task_cost"]

MOST_PRICE: Final = 1e200
"""The highest price per 1,000 tokens a file may give: far past any real one, and low enough
that a workload's costs stay numbers up to 1e100 tokens (more than any holds); one with more is
refused when its costs are summed."""
COST_DIGITS: Final = 12
"""The significant digits a cost is given to (see :func:`rounded_cost`)."""
PRICE_RULE: Final = "a price (a finite number, 0 or more)"
"""What a price must be, as messages say it."""
_TOP: Final = ("as_of", "models")
_FIELDS: Final = ("input", "output")


class CostOverflow(OverflowError):
    """A workload whose costs at its prices pass the largest number a float holds."""


class PriceJSON(TypedDict):
    input: float
    output: float


class PricesJSON(TypedDict):
    source: Literal["catalogue", "file"]
    file: str | None
    as_of: str | None
    per_1k: dict[str, PriceJSON]


@dataclass(frozen=True)
class Prices:
    """Prices per 1,000 input and output tokens, by model key, and where they come from."""

    per_1k: dict[str, tuple[float, float]]
    """(input, output) for every catalogue model."""
    source: str | None = None
    """The prices file as the user named it; None for the catalogue's own prices."""
    as_of: str | None = None
    """The date the file says its prices are of (ISO 8601), if it says."""

    @classmethod
    def catalogue(cls) -> Prices:
        """The catalogue's prices, as the module holds them now."""
        return cls({key: (spec.cost_per_1k_input, spec.cost_per_1k_output)
                    for key, spec in mr.AVAILABLE_MODELS.items()})

    def json(self) -> PricesJSON:
        return {"source": "catalogue" if self.source is None else "file", "file": self.source,
                "as_of": self.as_of,
                "per_1k": {key: {"input": price_in, "output": price_out}
                           for key, (price_in, price_out) in self.per_1k.items()}}


def task_cost(model: str, input_tokens: int, output_tokens: int, prices: Prices | None = None) -> float:
    """One task's cost on ``model`` at ``prices`` (default: the catalogue's), rounded as
    :func:`rounded_cost` rounds it."""
    price_in, price_out = (prices or Prices.catalogue()).per_1k[model]
    return rounded_cost((input_tokens * price_in + output_tokens * price_out) / 1000)


def rounded_cost(amount: float) -> float:
    """``amount`` to :data:`COST_DIGITS` significant digits: the products and sums of prices
    leave noise in the last of a float's 17 (0.037634999999999995 for 0.037635), which no
    price has. Scaled by an exact power of ten to a whole number of that many digits, rounded
    to even and scaled back, which gives the float nearest the rounded decimal; outside the
    exact powers' range, through the decimal digits. (The native writer of the per-task lines
    does the same operations, in the same order: both give the same float.)"""
    if not math.isfinite(amount) or amount == 0:
        return amount
    shift = COST_DIGITS - 1 - math.floor(math.log10(abs(amount)))
    if 0 <= shift < len(_POWERS_OF_TEN):
        return round(amount * _POWERS_OF_TEN[shift]) / _POWERS_OF_TEN[shift]
    if 0 < -shift < len(_POWERS_OF_TEN):
        return round(amount / _POWERS_OF_TEN[-shift]) * _POWERS_OF_TEN[-shift]
    return float(f"{amount:.{COST_DIGITS}g}")


_POWERS_OF_TEN: Final = tuple(float(10**n) for n in range(23))
"""The powers of ten a float holds exactly."""


# --- a prices file ------------------------------------------------------------------------------

def load_prices(path: str, *, any_model: bool = False) -> Prices:
    """The prices of the file at ``path``: of every catalogue model, or with ``any_model`` of
    the models it names, whatever their names. OSError when it cannot be read,
    :class:`SettingsFileError` (naming the file as the path) for what is wrong in it."""
    where = repr(path)
    text = read_settings_file(path)
    return _checked(parsed_document(text, where, SettingsFileError, toml=path.lower().endswith(".toml"), number=PRICE_RULE),
                    where, path, any_model)


def _checked(document: Any, where: str, path: str, any_model: bool) -> Prices:
    def refused(problem: str) -> SettingsFileError:
        return SettingsFileError(where, problem)

    if not isinstance(document, dict):
        raise refused("must hold a \"models\" table of prices, and may hold \"as_of\"")
    for key in document:
        if key not in _TOP:
            raise refused(unknown("key", key, _TOP))
    as_of = _date(document.get("as_of"), where)
    models = document.get("models")
    valid = list(mr.AVAILABLE_MODELS)
    if not isinstance(models, dict):
        raise refused(f"needs a \"models\" table: an input and an output price per 1,000 tokens for each of "
                      f"{', '.join(valid)}")
    for key in models:
        if any_model and not key.strip():
            raise refused("\"models\": a model with a blank name")
        if key not in valid and not any_model:
            raise refused(f"\"models\": {unknown('model key', key, valid)}")
    per_1k: dict[str, tuple[float, float]] = {}
    for key, entry in models.items():
        name = f"\"models\".{json.dumps(key)}"
        if not isinstance(entry, dict):
            raise refused(f"{name} must be a table with \"input\" and \"output\"")
        for field in entry:
            if field not in _FIELDS:
                raise refused(f"{name}: {unknown('field', field, _FIELDS)}")
        prices = []
        for field in _FIELDS:
            if field not in entry:
                raise refused(f"{name} has no \"{field}\" price")
            try:
                prices.append(price_of(entry[field], f"{name}.\"{field}\""))
            except NotAPrice as error:
                raise refused(str(error)) from None
        per_1k[key] = (prices[0], prices[1])
    if any_model:
        return Prices(per_1k, source=path, as_of=as_of)
    missing = [key for key in valid if key not in models]
    if missing:
        raise refused(f"\"models\" has no price for {', '.join(missing)} (every catalogue model needs one)")
    per_1k = {key: per_1k[key] for key in valid}  # in catalogue order
    return Prices(per_1k, source=path, as_of=as_of)


class NotAPrice(ValueError):
    """A value that is not a price: the message names it (as ``name``) and says why."""


def price_of(value: Any, name: str) -> float:
    """``value`` as a price: a finite number from 0 to :data:`MOST_PRICE`; else :class:`NotAPrice`."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise NotAPrice(f"{name} is {json.dumps(value, default=str)[:40]}, not {PRICE_RULE}")
    try:
        price = float(value)
    except OverflowError:
        price = math.inf
    if not math.isfinite(price) or price < 0:
        raise NotAPrice(f"{name} is {value!r}, not {PRICE_RULE}")
    if price > MOST_PRICE:
        raise NotAPrice(f"{name} is {value!r}, more than the {MOST_PRICE:g} per 1,000 tokens a price may be (past it, "
                        f"costs soon pass the largest number a float holds)")
    return price


def _date(value: Any, where: str) -> str | None:
    """``as_of`` as an ISO 8601 date: a TOML date, or a text that is one."""
    if value is None:
        return None
    if isinstance(value, datetime.date) and not isinstance(value, datetime.datetime):
        return value.isoformat()
    if isinstance(value, str):
        try:
            return datetime.date.fromisoformat(value).isoformat()
        except ValueError:
            pass
    raise SettingsFileError(where, f"\"as_of\" is {json.dumps(value, default=str)[:40]}, not a date (YYYY-MM-DD)")
