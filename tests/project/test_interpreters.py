"""Where CPython 3.12, 3.13, 3.14 and 3.15 differ at the interpreter level (what a class
statement puts in a class's namespace, how the compiler treats docstrings, the text of an
unpacking error), the module's classes and docstrings stay the same on each, and what the
module does as a Python function would follows the interpreter it runs on. Each test names
the interpreter it expects."""

import sys

import pytest

from conftest import RecordingStore

PY313 = sys.version_info >= (3, 13)
only_312 = pytest.mark.skipif(sys.version_info[:2] != (3, 12), reason="expects CPython 3.12")
from_313 = pytest.mark.skipif(sys.version_info < (3, 13), reason="expects CPython 3.13 or later")
before_314 = pytest.mark.skipif(sys.version_info >= (3, 14), reason="expects CPython 3.12 or 3.13")
from_314 = pytest.mark.skipif(sys.version_info < (3, 14), reason="expects CPython 3.14 or later")

CLASS_STATEMENT_ENTRIES = {"__firstlineno__", "__static_attributes__"}


def test_supported_interpreter():
    assert sys.implementation.name == "cpython"
    assert sys.version_info[:2] in ((3, 12), (3, 13), (3, 14), (3, 15))


class _Statement:
    """Made by a class statement.

    Indented second paragraph.
    """

    def method(self):
        self.value = 1


@only_312
def test_312_class_statement_has_no_new_namespace_entries():
    assert not CLASS_STATEMENT_ENTRIES & set(vars(_Statement))
    assert _Statement.__doc__ == "Made by a class statement.\n\n    Indented second paragraph.\n    "


@from_313  # 3.14 and 3.15 keep what 3.13 brought
def test_313_class_statement_gains_entries_and_dedented_docstrings():
    assert CLASS_STATEMENT_ENTRIES <= set(vars(_Statement))
    assert _Statement.__doc__ == "Made by a class statement.\n\nIndented second paragraph.\n"


@pytest.mark.parametrize("name", ["Complexity", "ModelSpec", "ModelRoutingConfig", "ModelRouter"])
def test_module_classes_have_no_class_statement_entries_on_either(mr, name):
    # The module makes its classes through the interpreter's class creation, not a class
    # statement: its namespaces hold the same entries on 3.12 as on 3.13 and later.
    assert not CLASS_STATEMENT_ENTRIES & set(vars(getattr(mr, name)))


def test_module_docstrings_keep_their_indentation_on_either(mr):
    # Set from C, so the compiler-side dedent of 3.13 and later does not apply: the texts
    # keep their blanks.
    assert mr.ModelRouter.__doc__.endswith("# \u2192 Claude Haiku (simple task)\n    ")
    assert mr.ModelRoutingConfig.__doc__.endswith(
        "    (ModelConfig component). This config is only for worker/scheduler defaults.\n    ")
    assert mr.classify_complexity.__doc__.endswith(
        '    This is used when the Coordinator sets model_key="auto" for a worker.\n    ')
    assert mr.ModelRouter.select_for_worker.__doc__.endswith(
        "            ModelSpec for the selected model\n        ")


class _Catalogue:
    """A catalogue whose one entry is `entry`."""

    def __init__(self, entry):
        self.entry = entry

    def items(self):
        return [self.entry]


def _unpacking_errors(mr, entries, monkeypatch):
    """The message of `key, value = entry` for each kind of entry (each made afresh):
    the interpreter's and the module's."""
    interpreter, module = [], []
    router = mr.ModelRouter(secrets=RecordingStore())
    for make_entry in entries:
        with pytest.raises(ValueError) as info:
            key, value = make_entry()
        interpreter.append(str(info.value))
        monkeypatch.setattr(mr, "AVAILABLE_MODELS", _Catalogue(make_entry()))
        with pytest.raises(ValueError) as info:
            router.get_available_models()
        module.append(str(info.value))
    return interpreter, module


class _Pair(tuple):
    pass


ENTRIES = [lambda: ("a", "b", "c"), lambda: ["a", "b", "c", "d"], lambda: {"a": 1, "b": 2, "c": 3},
           lambda: _Pair("abc"), lambda: "abc", lambda: iter("abc"), lambda: ("a",)]


@before_314
def test_before_314_too_many_values_never_gives_the_count(mr, monkeypatch):
    interpreter, module = _unpacking_errors(mr, ENTRIES, monkeypatch)
    assert interpreter == module == ["too many values to unpack (expected 2)"] * 6 + [
        "not enough values to unpack (expected 2, got 1)"]


@from_314
def test_from_314_too_many_values_gives_the_count_for_exact_tuples_lists_and_dicts(mr, monkeypatch):
    interpreter, module = _unpacking_errors(mr, ENTRIES, monkeypatch)
    assert interpreter == module == [
        "too many values to unpack (expected 2, got 3)", "too many values to unpack (expected 2, got 4)",
        "too many values to unpack (expected 2, got 3)"] + ["too many values to unpack (expected 2)"] * 3 + [
        "not enough values to unpack (expected 2, got 1)"]
