"""Where CPython 3.12 and 3.13 differ at the interpreter level (what a class statement puts
in a class's namespace, how the compiler treats docstrings), the module's classes and
docstrings stay the same on both. Each test names the interpreter it expects."""

import sys

import pytest

PY313 = sys.version_info >= (3, 13)
only_312 = pytest.mark.skipif(sys.version_info[:2] != (3, 12), reason="expects CPython 3.12")
only_313 = pytest.mark.skipif(sys.version_info[:2] != (3, 13), reason="expects CPython 3.13")

CLASS_STATEMENT_ENTRIES = {"__firstlineno__", "__static_attributes__"}


def test_supported_interpreter():
    assert sys.implementation.name == "cpython"
    assert sys.version_info[:2] in ((3, 12), (3, 13))


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


@only_313
def test_313_class_statement_gains_entries_and_dedented_docstrings():
    assert CLASS_STATEMENT_ENTRIES <= set(vars(_Statement))
    assert _Statement.__doc__ == "Made by a class statement.\n\nIndented second paragraph.\n"


@pytest.mark.parametrize("name", ["Complexity", "ModelSpec", "ModelRoutingConfig", "ModelRouter"])
def test_module_classes_have_no_class_statement_entries_on_either(mr, name):
    # The module makes its classes through the interpreter's class creation, not a class
    # statement: its namespaces hold the same entries on 3.12 and on 3.13.
    assert not CLASS_STATEMENT_ENTRIES & set(vars(getattr(mr, name)))


def test_module_docstrings_keep_their_indentation_on_either(mr):
    # Set from C, so 3.13's compiler-side dedent does not apply: the texts keep their blanks.
    assert mr.ModelRouter.__doc__.endswith("# \u2192 Claude Haiku (simple task)\n    ")
    assert mr.ModelRoutingConfig.__doc__.endswith(
        "    (ModelConfig component). This config is only for worker/scheduler defaults.\n    ")
    assert mr.classify_complexity.__doc__.endswith(
        '    This is used when the Coordinator sets model_key="auto" for a worker.\n    ')
    assert mr.ModelRouter.select_for_worker.__doc__.endswith(
        "            ModelSpec for the selected model\n        ")
