"""``--prices FILE``: the prices to cost a workload with, per 1,000 tokens, instead of the
catalogue's (which are fixed in the module and age).

The file is TOML when its name ends in ``.toml``, JSON otherwise, and holds a ``models``
table with an ``input`` and an ``output`` price for every catalogue model, and an optional
``as_of`` date::

    as_of = 2025-06-01
    [models.claude-opus]
    input = 0.015
    output = 0.075
    ...

It is checked strictly, since a price mistyped would move every figure of the report
quietly: a key the file may not hold (with a hint for a near miss), a model left out, a
field missing, a price that is not a finite number from 0 to :data:`MOST_PRICE`, a key written
twice.

``bench --models`` prices the models of outcome files, named as the files name them: there
(``any_model``) the ``models`` table may name any model, and need not name every catalogue
model; the command says which of the models it measures have no price.
"""

from __future__ import annotations

import datetime
import json
import math
import tomllib
from typing import Any

from halvec._json_keys import DuplicateKey, without_duplicates
from halvec.cli.options import InputError, model_keys, near_miss, read_option_file
from halvec.evaluation import Prices

__all__ = ["MOST_PRICE", "load_prices"]

MOST_PRICE = 1e200
"""The highest price per 1,000 tokens a file may give: far past any real one, and low enough
that a workload's costs stay numbers up to 1e100 tokens (more than any holds); one with more is
refused when its costs are summed."""
_TOP = ("as_of", "models")
_FIELDS = ("input", "output")


def load_prices(path: str, *, any_model: bool = False) -> Prices:
    """The prices of the file at ``path``: of every catalogue model, or with ``any_model`` of
    the models it names, whatever their names; :class:`InputError` names the file and what is
    wrong."""
    where = f"--prices {path!r}"
    text = read_option_file(where, path)
    document = _parse(text, where, toml=path.lower().endswith(".toml"))
    return _checked(document, where, path, any_model)


def _parse(text: str, where: str, *, toml: bool) -> Any:
    if toml:
        try:
            return tomllib.loads(text)
        except RecursionError:
            raise InputError(f"{where}: not valid TOML: nested too deeply") from None
        except ValueError as error:  # TOMLDecodeError (a key written twice among them), a number too long
            raise InputError(f"{where}: not valid TOML: {error}") from None
    try:
        return json.loads(text, object_pairs_hook=without_duplicates, parse_constant=_no_constant)
    except json.JSONDecodeError as error:
        raise InputError(f"{where}, line {error.lineno}: not valid JSON: {error.msg} (column {error.colno})") from None
    except DuplicateKey as duplicate:
        raise InputError(f"{where}: the key {duplicate.key!r} is written twice") from None
    except _Refused as error:
        raise InputError(f"{where}: {error}") from None
    except RecursionError:
        raise InputError(f"{where}: not valid JSON: nested too deeply") from None
    except ValueError as error:  # a number too long to convert
        raise InputError(f"{where}: not valid JSON: {error}") from None


class _Refused(Exception):
    pass


def _no_constant(name: str) -> Any:
    raise _Refused(f"{name} is not a price (a finite number, 0 or more)")


def _unknown(what: str, key: str, valid: tuple[str, ...] | list[str]) -> str:
    hint = near_miss(key, valid)
    return (f"unknown {what} {key!r} (choose from {', '.join(valid)})"
            + (f"; did you mean {hint!r}?" if hint is not None else ""))


def _checked(document: Any, where: str, path: str, any_model: bool) -> Prices:
    if not isinstance(document, dict):
        raise InputError(f"{where}: must hold a \"models\" table of prices, and may hold \"as_of\"")
    for key in document:
        if key not in _TOP:
            raise InputError(f"{where}: {_unknown('key', key, _TOP)}")
    as_of = _date(document.get("as_of"), where)
    models = document.get("models")
    if not isinstance(models, dict):
        raise InputError(f"{where}: needs a \"models\" table: an input and an output price per 1,000 tokens "
                         f"for each of {', '.join(model_keys())}")
    valid = model_keys()
    for key in models:
        if any_model and not key.strip():
            raise InputError(f"{where}: \"models\": a model with a blank name")
        if key not in valid and not any_model:
            raise InputError(f"{where}: \"models\": {_unknown('model key', key, valid)}")
    per_1k: dict[str, tuple[float, float]] = {}
    for key, entry in models.items():
        name = f"\"models\".{json.dumps(key)}"
        if not isinstance(entry, dict):
            raise InputError(f"{where}: {name} must be a table with \"input\" and \"output\"")
        for field in entry:
            if field not in _FIELDS:
                raise InputError(f"{where}: {name}: {_unknown('field', field, _FIELDS)}")
        prices = []
        for field in _FIELDS:
            if field not in entry:
                raise InputError(f"{where}: {name} has no \"{field}\" price")
            prices.append(_price(entry[field], f"{name}.\"{field}\"", where))
        per_1k[key] = (prices[0], prices[1])
    if any_model:
        return Prices(per_1k, source=path, as_of=as_of)
    missing = [key for key in valid if key not in models]
    if missing:
        raise InputError(f"{where}: \"models\" has no price for {', '.join(missing)} (every catalogue model "
                         f"needs one)")
    per_1k = {key: per_1k[key] for key in valid}  # in catalogue order
    return Prices(per_1k, source=path, as_of=as_of)


def _price(value: Any, name: str, where: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise InputError(f"{where}: {name} is {json.dumps(value, default=str)[:40]}, not a price "
                         f"(a finite number, 0 or more)")
    try:
        price = float(value)
    except OverflowError:
        price = math.inf
    if not math.isfinite(price) or price < 0:
        raise InputError(f"{where}: {name} is {value!r}, not a price (a finite number, 0 or more)")
    if price > MOST_PRICE:
        raise InputError(f"{where}: {name} is {value!r}, more than the {MOST_PRICE:g} per 1,000 tokens a price may "
                         f"be (past it, costs soon pass the largest number a float holds)")
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
    raise InputError(f"{where}: \"as_of\" is {json.dumps(value, default=str)[:40]}, not a date (YYYY-MM-DD)")
