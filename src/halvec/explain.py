"""Why the router decides as it does: the classifier's rule, pattern and matched text, and
the stages of a selection with every candidate passed over and why.

``explain_complexity`` is native (the package's private engine module): it takes the same
arguments as ``classify_complexity``, with the same conventions and errors, reads the live
pattern lists as the classifier reads them, and gives the tier the classifier gives.
``explain_selection`` makes the router's real call and watches it.
"""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, Protocol, cast

from halvec import _patterns
from halvec.core import model_router as mr

if TYPE_CHECKING:
    from halvec.fitted.explain import ChoiceExplanation, ScoreExplanation

__all__ = ["ComplexityExplanation", "DecidedBy", "PassedOver", "SelectionExplanation",
           "explain_complexity", "explain_selection"]

Rule = Literal["length", "complex_pattern", "simple_pattern", "counts"]
DecidedBy = Literal["explicit", "default", "auto", "fallback", "last_resort"]
Stage = Literal["explicit", "default", "auto", "fallback"]
Reason = Literal["not a catalogue key", "not enabled", "no key for its provider"]


@dataclass(frozen=True, slots=True)
class ComplexityExplanation:
    """One classification and what decided it."""

    tier: mr.Complexity
    """The tier, the one ``classify_complexity`` gives for the same inputs and lists."""
    rule: Rule
    """``"length"``: fewer than 20 characters after lower-casing and stripping;
    ``"complex_pattern"`` or ``"simple_pattern"``: an entry of that list matched;
    ``"counts"``: the word and tool counts decided."""
    length: int
    """Characters of the normalised text (lower-cased, then stripped)."""
    word_count: int
    tool_count: int
    """The tool count, converted as the classifier converts it."""
    pattern_list: Literal["complex", "simple"] | None
    pattern_index: int | None
    """The entry's index in its list, counting from 0."""
    pattern: Any
    """The entry itself (a pattern text, or whatever the list holds)."""
    span: tuple[int, int] | None
    """Where the entry matched in the normalised text, as ``re.search(...).span()``."""
    match: str | None
    """The matched text."""
    threshold: str | None
    """For ``"counts"``: the comparison that decided, for example ``"word_count > 60"``."""


@dataclass(frozen=True, slots=True)
class PassedOver:
    """A model the selection considered and did not take."""

    key: Any
    """The candidate key as the selection met it."""
    stage: Stage
    reason: Reason


@dataclass(frozen=True, slots=True)
class SelectionExplanation:
    """One selection and how it was made."""

    spec: mr.ModelSpec
    """The record the router returned."""
    key: str | None
    """Its catalogue key (None for a record the catalogue does not hold)."""
    decided_by: DecidedBy
    """``"explicit"`` (the caller's key), ``"default"`` (the configured default),
    ``"auto"`` (the choice by complexity), ``"fallback"`` (the first usable enabled model)
    or ``"last_resort"`` (nothing was usable: the catalogue's Claude Sonnet, untested)."""
    complexity: ComplexityExplanation | None
    """How the description was classified, when the choice by complexity ran (by the default
    rules; None for a router that tiers by a fitted router: see ``fitted``)."""
    passed_over: tuple[PassedOver, ...]
    """Every candidate passed over, in the order the selection met them."""
    fitted: ScoreExplanation | ChoiceExplanation | None = None
    """For a router whose automatic choice is a fitted router's
    (:class:`halvec.fitted.FittedModelRouter`), when it ran: a version-1 router's score and
    what made it; a version-2 router's choice among the models not passed over (every model's
    predicted result, price and objective, and the n-grams that most separated the chosen
    model from the runner-up), None when none of its models was usable."""
    among_models: bool = False
    """Whether the automatic choice ran and was a version-2 fitted router's, among its models
    (``passed_over`` then holds the models it passed over at the stage ``"auto"``: a model its
    file maps to no catalogue key under its own name, ``"not a catalogue key"``)."""

    @property
    def tier(self) -> mr.Complexity | None:
        """The tier the choice by complexity used, by whichever classified it; for a choice
        among a version-2 router's models, the catalogue tier of the model it gave; None when
        the automatic choice did not run."""
        if self.complexity is not None:
            return self.complexity.tier
        if self.among_models:
            tier = self.spec.complexity_tier
            return tier if isinstance(tier, mr.Complexity) else None
        fitted = self.fitted
        return fitted.tier if fitted is not None and hasattr(fitted, "tier") else None


class _Explainer(Protocol):
    def __call__(self, prompt: str, tool_count: int = 0) -> ComplexityExplanation: ...


explain_complexity: _Explainer = cast(_Explainer, _patterns.make_explainer(ComplexityExplanation))
"""``explain_complexity(prompt, tool_count=0)``: why ``classify_complexity`` gives its tier."""


# --- explain_selection -----------------------------------------------------------------------
#
# The router's own call makes the choice; the explanation watches it. For the duration of the
# call, the four methods the selection calls through the instance (get_model, _is_available,
# _select_for_complexity, _get_fallback) are wrappers in the router's instance dictionary that
# call the method the instance would otherwise call and note what it was given and what it
# answered (and, on a FittedModelRouter, a fifth: _select_for_models, its choice among a
# version-2 router's models). The wrappers are shared by every explanation running on that router, whatever the
# thread, and taken away by the last one to finish; calls on other threads, and calls that are
# no explanation's, pass straight through them with their arguments as given.
#
# What cannot be seen (a candidate the router skips without testing it) is worked out from the
# router's candidate lists and its preferences as read right after the step, and claimed only
# where the calls that were seen bear it out, so a subclass that does things its own way gets
# an explanation of what it was seen to do and no more.

_STANDARD: dict[str, tuple[str, ...]] = {
    "complex": ("claude-opus", "claude-sonnet", "gpt-5.2"),
    "moderate": ("claude-sonnet", "claude-haiku", "gpt-5.2"),
    "simple": ("claude-haiku", "claude-sonnet", "gpt-5.2"),
}
_COST_CONSCIOUS: dict[str, tuple[str, ...]] = {
    "complex": ("claude-sonnet", "claude-haiku", "gpt-5.2"),
    "moderate": ("claude-haiku", "claude-sonnet", "gpt-5.2"),
    "simple": ("claude-haiku", "claude-sonnet", "gpt-5.2"),
}
_OTHER_TIER: tuple[str, ...] = ("claude-sonnet",)
_LAST_RESORT_KEY = "claude-sonnet"

_WATCHED = ("get_model", "_is_available", "_select_for_complexity", "_get_fallback")
_MODELS_STEP = "_select_for_models"  # a FittedModelRouter's choice among a version-2 router's models
_MISSING: Any = object()


def _candidates(tier: Any, cost_conscious: Any) -> tuple[str, ...] | None:
    """The tier's candidate keys, found as the router finds them: a lookup by the tier in a
    mapping keyed by the members of the module's ``Complexity`` (so a tier's text finds its
    list too), any other value getting Claude Sonnet alone. None when the lookup fails."""
    lists = _COST_CONSCIOUS if cost_conscious else _STANDARD
    try:
        tiers = mr.Complexity
        by_member = {tiers.COMPLEX: lists["complex"], tiers.MODERATE: lists["moderate"],
                     tiers.SIMPLE: lists["simple"]}
        return by_member.get(tier, _OTHER_TIER)
    except Exception:  # an unhashable tier, a rebound Complexity: nothing to claim
        return None


def _in_catalogue(key: Any) -> bool:
    try:
        return key in mr.AVAILABLE_MODELS
    except TypeError:  # unhashable
        return False


def _enabled(router: Any) -> Any:
    return router._config.enabled_models


def _refusal(router: Any, key: Any) -> Reason:
    """Why the availability test refuses the catalogue model under ``key``, as the router
    decides it: the preferences are read before the store is asked, and a record counts as
    the first catalogue entry with its id."""
    catalogue = mr.AVAILABLE_MODELS
    try:
        model_id = catalogue[key].id
        tested_as = next((k for k, record in catalogue.items() if record.id == model_id), None)
        if tested_as and tested_as not in _enabled(router):
            return "not enabled"
    except Exception:  # preferences changed under the call into something unreadable
        pass
    return "no key for its provider"


def _reason(router: Any, key: Any) -> Reason:
    if not _in_catalogue(key):
        return "not a catalogue key"
    return _refusal(router, key)


class _Watch:
    """What one selection did, noted by the wrappers on the explaining thread."""

    def __init__(self, router: Any, description: str, model_key: Any) -> None:
        self.router = router
        self.description = description
        self.model_key = model_key
        self._explicit: bool | None = None
        self.phase: Literal["stages", "auto", "fallback", "after"] = "stages"
        self.lookup_depth = 0
        self.lookups: list[tuple[Stage, Any]] = []  # the explicit and default lookups' results
        self.passed: list[PassedOver] = []  # by the explicit and default lookups
        self.auto_passed: list[PassedOver] = []
        self.fallback_passed: list[PassedOver] = []
        self.auto_ran = False
        self.auto_tests: list[tuple[Any, Any]] = []  # (record, answer) of each availability test
        self.fallback_ran = False
        self.fallback_tests: list[tuple[Any, Any]] = []
        self.fallback_result: Any = _MISSING
        self.complexity: ComplexityExplanation | None = None
        self.fitted: ScoreExplanation | ChoiceExplanation | None = None
        self.among_models = False
        self.complexity_error: Exception | None = None

    @property
    def explicit(self) -> bool:
        """Whether the caller's key is the call's first stage, as the router tests it. Read at
        the call's first lookup, not before the call: the call checks its arguments first, and
        the test may run the key's own code (a str subclass's ``__eq__``), which the router's
        own checks never reach when they refuse the key."""
        if self._explicit is None:
            key = self.model_key
            self._explicit = bool(key and key != "auto")
        return self._explicit

    # -- what the wrappers note ---------------------------------------------------------------

    def looked_up(self, key: Any, result: Any) -> None:
        if self.phase != "stages" or self.lookup_depth or len(self.lookups) == 1 + self.explicit:
            return  # not one of the stages' own lookups
        stage: Stage = "explicit" if self.explicit and not self.lookups else "default"
        self.lookups.append((stage, result))
        if not result:
            self.passed.append(PassedOver(key, stage, _reason(self.router, key)))

    def tested(self, spec: Any, answer: Any) -> None:
        if self.lookup_depth == 0:
            if self.phase == "auto":
                self.auto_tests.append((spec, answer))
            elif self.phase == "fallback":
                self.fallback_tests.append((spec, answer))

    def auto_starts(self) -> None:
        self.phase, self.auto_ran = "auto", True
        # a router that tiers by a fitted router explains its own tier
        explain_tier = getattr(self.router, "_explain_tier", None)
        try:  # the classification the router has just made, explained while the lists are as it saw them
            if explain_tier is not None:
                self.fitted = explain_tier(self.description)
            else:
                self.complexity = explain_complexity(self.description)
        except Exception as error:  # raised once the call is over; the call itself goes on as it would
            self.complexity_error = error

    def auto_ends(self, tier: Any, result: Any, *, own: bool) -> None:
        if not own:
            self.auto_passed = _refused(self.router, "auto", self.auto_tests)
            return
        candidates = _candidates(tier, _read(lambda: self.router._config.cost_conscious))
        if candidates is not None:
            exhausted = self.fallback_ran and self.fallback_result is result
            self.auto_passed = _walk(self.router, "auto", candidates, self.auto_tests,
                                     skips_enabled=True, exhausted=exhausted)

    def models_start(self) -> None:
        self.phase, self.auto_ran, self.among_models = "auto", True, True

    def models_end(self) -> None:
        """A version-2 router's choice: the models its file does not map, those the availability
        test refused (in the order it tested them), and its choice among the rest explained."""
        from halvec.fitted.explain import explain_score  # (loaded when first needed, as the fitted package)
        fitted = self.router.fitted
        keys = fitted.catalogue_keys()
        self.auto_passed = [PassedOver(model, "auto", "not a catalogue key")
                            for model in fitted.models if model not in keys]
        refused = _refused(self.router, "auto", self.auto_tests)
        self.auto_passed += refused
        gone = {passed.key for passed in refused}
        left = [model for model in fitted.models if model in keys and keys[model] not in gone]
        if left:
            self.fitted = explain_score(fitted, self.description, usable=left)

    def fallback_ends(self, result: Any, *, own: bool) -> None:
        self.fallback_result = result
        if not own:
            self.fallback_passed = _refused(self.router, "fallback", self.fallback_tests)
            return
        enabled = _read(lambda: list(_enabled(self.router)))
        if enabled is not _MISSING:
            exhausted = result is mr.AVAILABLE_MODELS.get(_LAST_RESORT_KEY, _MISSING)
            self.fallback_passed = _walk(self.router, "fallback", enabled, self.fallback_tests,
                                         skips_enabled=False, exhausted=exhausted)

    # -- the explanation ----------------------------------------------------------------------

    def decided_by(self, spec: Any) -> DecidedBy:
        for stage, result in self.lookups:
            if result and result is spec:
                return stage
        if self.fallback_ran and self.fallback_result is spec:
            tested = any(record is spec and answer for record, answer in self.fallback_tests)
            return "fallback" if tested else "last_resort"
        return "auto"  # the choice by complexity, or a subclass's own choice


def _read(get: Callable[[], Any]) -> Any:
    """A value of the preferences as they are now; _MISSING when reading it fails."""
    try:
        return get()
    except Exception:
        return _MISSING


def _refused(router: Any, stage: Stage, tests: list[tuple[Any, Any]]) -> list[PassedOver]:
    """The catalogue models a step tested and found unusable, in order: all that can be said of
    a step that a subclass or a patch replaces, which may walk any candidates in any order."""
    passed: list[PassedOver] = []
    for record, answer in tests:
        key = _key_of(record)
        if not answer and key is not None:
            passed.append(PassedOver(key, stage, _refusal(router, key)))
    return passed


def _walk(router: Any, stage: Stage, keys: Iterable[Any], tests: list[tuple[Any, Any]], *,
          skips_enabled: bool, exhausted: bool) -> list[PassedOver]:
    """The candidates of a step passed over, in order: ``keys`` walked as the router walks them
    (a key outside the catalogue skipped, with ``skips_enabled`` one that is not enabled too,
    any other tested), each test matched with the one the router was seen to make. Skips are
    claimed only when a later test, or the step's end (``exhausted``: it ran out of keys),
    shows that the router walked past them. Only for the router's own steps: the keys are
    theirs."""
    passed: list[PassedOver] = []
    skipped: list[PassedOver] = []
    seen = iter(tests)
    catalogue = mr.AVAILABLE_MODELS
    try:
        for key in keys:
            if not _in_catalogue(key):
                skipped.append(PassedOver(key, stage, "not a catalogue key"))
                continue
            if skips_enabled and key not in _enabled(router):
                skipped.append(PassedOver(key, stage, "not enabled"))
                continue
            record, answer = next(seen, (_MISSING, None))
            if record is not catalogue[key]:
                return passed  # not the walk the router made
            passed += skipped
            skipped = []
            if answer:
                return passed  # the router's choice (which the step may yet replace)
            passed.append(PassedOver(key, stage, _refusal(router, key)))
    except Exception:  # preferences changed under the call into something unreadable
        return passed
    if exhausted and next(seen, _MISSING) is _MISSING:
        passed += skipped
    return passed


class _Installation:
    """The wrappers on one router, shared by the explanations running on it."""

    def __init__(self, router: Any) -> None:
        self.router = router
        self.users = 0
        self.local = threading.local()
        self.own: dict[str, Any] = vars(router)
        self.saved = {name: self.own.get(name, _MISSING) for name in (*_WATCHED, _MODELS_STEP)}
        self.wrappers: dict[str, Callable[..., Any]] = {
            "get_model": self._get_model, "_is_available": self._is_available,
            "_select_for_complexity": self._select_for_complexity, "_get_fallback": self._get_fallback}
        if hasattr(type(router), _MODELS_STEP):  # a router whose automatic choice may be among models
            self.wrappers[_MODELS_STEP] = self._select_for_models

    def install(self) -> None:
        for name, wrapper in self.wrappers.items():
            self.own[name] = wrapper

    def uninstall(self) -> None:
        # The router may have taken another instance dictionary meanwhile, a copy of the old one
        # with the wrappers in it: they go from both.
        dicts = [self.own]
        try:
            now = vars(self.router)
        except Exception:  # a __dict__ made unreadable
            now = self.own
        if now is not self.own and isinstance(now, dict):
            dicts.append(now)
        for own in dicts:
            for name, wrapper in self.wrappers.items():
                if own.get(name, _MISSING) is wrapper:  # else someone has put their own there since
                    if self.saved[name] is _MISSING:
                        del own[name]
                    else:
                        own[name] = self.saved[name]

    def watches(self) -> list[_Watch]:
        """This thread's explanations on the router, the innermost last."""
        watches: list[_Watch] | None = getattr(self.local, "watches", None)
        if watches is None:
            watches = self.local.watches = []
        return watches

    def _current(self) -> _Watch | None:
        watches: list[_Watch] | None = getattr(self.local, "watches", None)
        return watches[-1] if watches else None

    def _through(self, name: str) -> Any:
        """What the instance would call under ``name`` without the wrapper: its own attribute
        from before, else the class's, bound as attribute lookup binds it."""
        saved = self.saved[name]
        if saved is not _MISSING:
            return saved
        cls = type(self.router)
        for klass in cls.__mro__:
            if name in vars(klass):
                attribute = vars(klass)[name]
                get = getattr(type(attribute), "__get__", None)
                return attribute if get is None else get(attribute, self.router, cls)
        return getattr(self.router, name)  # raises the AttributeError the call would meet

    def _own(self, name: str) -> bool:
        """Whether the router's own step runs under ``name``: no patch, no override."""
        if self.saved[name] is not _MISSING:
            return False
        for klass in type(self.router).__mro__:
            if name in vars(klass):
                return vars(klass)[name] is vars(mr.ModelRouter).get(name, _MISSING)
        return False

    def _get_model(self, *args: Any, **kwargs: Any) -> Any:
        watch = self._current()
        if watch is None:
            return self._through("get_model")(*args, **kwargs)
        watch.lookup_depth += 1
        try:
            result = self._through("get_model")(*args, **kwargs)
        finally:
            watch.lookup_depth -= 1
        _note(watch.looked_up, args[0] if args else kwargs.get("model_key"), result)
        return result

    def _is_available(self, *args: Any, **kwargs: Any) -> Any:
        answer = self._through("_is_available")(*args, **kwargs)
        watch = self._current()
        if watch is not None:
            _note(watch.tested, args[0] if args else kwargs.get("spec"), answer)
        return answer

    def _select_for_complexity(self, *args: Any, **kwargs: Any) -> Any:
        watch = self._current()
        if watch is None or watch.phase != "stages" or watch.lookup_depth:
            return self._through("_select_for_complexity")(*args, **kwargs)
        watch.auto_starts()
        try:
            result = self._through("_select_for_complexity")(*args, **kwargs)
        finally:
            watch.phase = "after"
        _note(watch.auto_ends, args[0] if args else kwargs.get("complexity"), result,
              own=self._own("_select_for_complexity"))
        return result

    def _select_for_models(self, *args: Any, **kwargs: Any) -> Any:
        watch = self._current()
        if watch is None or watch.phase != "stages" or watch.lookup_depth:
            return self._through(_MODELS_STEP)(*args, **kwargs)
        watch.models_start()
        try:
            result = self._through(_MODELS_STEP)(*args, **kwargs)
        finally:
            watch.phase = "after"
        _note(watch.models_end)
        return result

    def _get_fallback(self, *args: Any, **kwargs: Any) -> Any:
        watch = self._current()
        if watch is None or watch.phase not in ("stages", "auto") or watch.lookup_depth or watch.fallback_ran:
            return self._through("_get_fallback")(*args, **kwargs)
        phase, watch.phase, watch.fallback_ran = watch.phase, "fallback", True
        try:
            result = self._through("_get_fallback")(*args, **kwargs)
        finally:
            watch.phase = phase
        _note(watch.fallback_ends, result, own=self._own("_get_fallback"))
        return result


def _note(note: Callable[..., None], *args: Any, **kwargs: Any) -> None:
    """Notes what a step did. The notes never change the call: a catalogue or preferences
    that a caller has made unreadable leave the explanation short of that step instead."""
    try:
        note(*args, **kwargs)
    except Exception:
        pass


_installations_lock = threading.Lock()
_installations: dict[int, _Installation] = {}  # by id(router); an installation holds its router


@contextmanager
def _watching(watch: _Watch) -> Iterator[None]:
    router = watch.router
    with _installations_lock:
        installation = _installations.get(id(router))
        if installation is None:
            installation = _Installation(router)
            installation.install()
            _installations[id(router)] = installation
        installation.users += 1
    watches = installation.watches()
    watches.append(watch)
    try:
        yield
    finally:
        watches.pop()
        with _installations_lock:
            installation.users -= 1
            if installation.users == 0:
                installation.uninstall()
                del _installations[id(router)]


def _key_of(spec: Any) -> str | None:
    return next((key for key, record in mr.AVAILABLE_MODELS.items() if record is spec), None)


def explain_selection(router: mr.ModelRouter, description: str, model_key: str | None = None, *,
                      scheduler: bool = False) -> SelectionExplanation:
    """Makes the router's real call, ``select_for_worker`` (or, with ``scheduler``,
    ``select_for_scheduler``), and says how the choice was made.

    The call is the router's own: its log lines and its store's answers are those of the
    call, overrides in subclasses take effect, and what it raises comes through unchanged.
    Other threads may use the router meanwhile, and explain their own selections on it."""
    # Nothing runs code of the arguments before the call has checked them: the method is looked
    # up as the call looks it up, and the key is tested inside the call.
    select = router.select_for_scheduler if scheduler else router.select_for_worker
    watch = _Watch(router, description, model_key)
    with _watching(watch):
        spec = select(description, model_key)
    if watch.complexity_error is not None:
        raise watch.complexity_error
    return SelectionExplanation(spec=spec, key=_key_of(spec), decided_by=watch.decided_by(spec),
                                complexity=watch.complexity if watch.auto_ran else None,
                                passed_over=(*watch.passed, *watch.auto_passed, *watch.fallback_passed),
                                fitted=watch.fitted if watch.auto_ran else None,
                                among_models=watch.among_models)
