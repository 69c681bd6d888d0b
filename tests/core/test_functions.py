"""The function objects: introspection, descriptor behaviour, argument errors, tracebacks."""

import inspect
import pickle
import traceback
import weakref

import pytest

CLASSIFY_DOC = ("Classify the complexity of a worker task based on its description.\n\n"
                "    This is used when the Coordinator sets model_key=\"auto\" for a worker.\n    ")


def test_introspection(mr):
    f = mr.classify_complexity
    assert (f.__name__, f.__qualname__, f.__module__) == (
        "classify_complexity", "classify_complexity", "halvec.core.model_router")
    assert f.__doc__ == CLASSIFY_DOC
    assert f.__defaults__ == (0,) and f.__kwdefaults__ is None
    assert f.__annotations__ == {"prompt": "str", "tool_count": "int", "return": "Complexity"}
    assert f.__code__.co_varnames == ("prompt", "tool_count") and f.__code__.co_argcount == 2
    assert f.__globals__ is vars(mr)
    sig = inspect.signature(f)
    assert str(sig) == "(prompt: 'str', tool_count: 'int' = 0) -> 'Complexity'"
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert inspect.isroutine(f) and callable(f)
    assert repr(f).startswith("<function classify_complexity at 0x")


def test_plain_function_behaviour(mr):
    f = mr.classify_complexity
    assert pickle.loads(pickle.dumps(f)) is f
    assert weakref.ref(f)() is f
    f.custom_attribute = 1
    assert f.__dict__["custom_attribute"] == 1
    del f.custom_attribute
    with pytest.raises(AttributeError):
        f.__name__ = "other"
    with pytest.raises(TypeError, match="missing 2 required positional arguments"):
        exec(f.__code__, {})  # the code object only describes; running it is refused cleanly


def test_function_type_is_closed_like_a_builtin(mr):
    function_type = type(mr.classify_complexity)
    assert type(mr.ModelRouter.__dict__["get_model"]) is function_type
    assert (function_type.__module__, function_type.__qualname__) == ("halvec.core.model_router", "function")
    with pytest.raises(TypeError, match="cannot create 'halvec.core.model_router.function' instances"):
        function_type()
    with pytest.raises(TypeError, match="immutable type"):
        function_type.__call__ = None
    with pytest.raises(TypeError):
        class Sub(function_type):
            pass
    # The layout is the type's business: nothing reads as a number off a function.
    for name in ("__vectorcalloffset__", "__dictoffset__", "__weaklistoffset__"):
        assert not hasattr(mr.classify_complexity, name) and name not in vars(function_type)
    # __module__ is the type's, and like a Python function's it can be set per function.
    f = mr.ModelRouter.__dict__["get_litellm_model_string"]
    try:
        f.__module__ = "elsewhere"
        assert f.__module__ == "elsewhere" and mr.classify_complexity.__module__ == "halvec.core.model_router"
    finally:
        del f.__module__
    assert f.__module__ == "halvec.core.model_router" and vars(f) == {}


def test_binds_like_a_function_in_classes(mr):
    f = mr.classify_complexity

    class Text(str):
        classify = f
        as_property = property(f)
        as_classmethod = classmethod(f)

    t = Text("hello there")
    assert Text.classify is f
    assert t.classify.__func__ is f and t.classify.__self__ is t
    # The instance is bound as `prompt`: a str subclass is refused, with a note.
    for call in (lambda: t.classify(), lambda: t.as_property, lambda: t.classify.__call__()):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == "Argument 'prompt' has incorrect type (expected str, got Text)"
        assert len(info.value.__notes__) == 1 and "str" in info.value.__notes__[0]
    with pytest.raises(TypeError, match=r"expected str, got type\)$"):
        t.as_classmethod()
    assert Text.as_classmethod.__func__ is f


ARGUMENT_ERRORS = [
    ((), {}, "classify_complexity() takes at least 1 positional argument (0 given)"),
    (("a", 1, 2), {}, "classify_complexity() takes at most 2 positional arguments (3 given)"),
    (("a",), {"tool": 1}, "classify_complexity() got an unexpected keyword argument 'tool'"),
    (("a",), {"prompt": "b"}, "classify_complexity() got multiple values for keyword argument 'prompt'"),
    ((), {"tool_count": 1}, "classify_complexity() takes at least 1 positional argument (0 given)"),
    ((None,), {}, "Argument 'prompt' has incorrect type (expected str, got NoneType)"),
    ((b"bytes",), {}, "Argument 'prompt' has incorrect type (expected str, got bytes)"),
    (("a", "1"), {}, "Argument 'tool_count' has incorrect type (expected int, got str)"),
    (("a", None), {}, "Argument 'tool_count' has incorrect type (expected int, got NoneType)"),
    (("a", [1]), {}, "Argument 'tool_count' has incorrect type (expected int, got list)"),
    # A complex is a number, but has no integer value: int()'s own error.
    (("a", 1j), {}, "int() argument must be a string, a bytes-like object or a real number, not 'complex'"),
    (("a", 1 + 0j), {}, "int() argument must be a string, a bytes-like object or a real number, not 'complex'"),
    # The int conversion runs first, so it is what a doubly wrong call reports.
    ((5, "x"), {}, "Argument 'tool_count' has incorrect type (expected int, got str)"),
]


@pytest.mark.parametrize("args, kwargs, message", ARGUMENT_ERRORS)
def test_argument_errors(mr, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        mr.classify_complexity(*args, **kwargs)
    assert str(info.value) == message
    entries = [(e.name, e.filename) for e in traceback.extract_tb(info.value.__traceback__)]
    assert entries[-1] == ("halvec.core.model_router.classify_complexity",
                           "halvec/core/model_router.py")


def test_keywords_by_name_and_non_string_keywords(mr):
    C = mr.Complexity
    assert mr.classify_complexity(prompt="pull the sales numbers and email them", tool_count=5) is C.COMPLEX
    assert mr.classify_complexity(tool_count=5, prompt="pull the sales numbers and email them") is C.COMPLEX

    class Key(str):
        pass
    # A keyword given as an equal str of another type still binds by name.
    assert mr.classify_complexity(**{Key("prompt"): "hi"}) is C.SIMPLE
    with pytest.raises(TypeError, match="keywords must be strings"):
        mr.classify_complexity(**{1: "x"})


class IntLike:
    def __index__(self):
        return 5


class FloatOnly:
    def __float__(self):
        return 7.0


class BadInt:
    def __int__(self):
        raise ZeroDivisionError("from __int__")


@pytest.mark.parametrize("tool_count, expected", [
    (True, "SIMPLE"), (4.9, "MODERATE"), (5.0, "COMPLEX"), (IntLike(), "COMPLEX"),
    (-(10 ** 40), "SIMPLE"), (10 ** 40, "COMPLEX"), (2, "MODERATE"),
])
def test_tool_count_conversion(mr, tool_count, expected):
    text = "pull the sales numbers and email them to the group"
    assert mr.classify_complexity(text, tool_count) is mr.Complexity[expected]


@pytest.mark.parametrize("value, error", [
    (float("nan"), ValueError), (float("inf"), OverflowError), (BadInt(), ZeroDivisionError),
    # Conversion is int()'s, which does not use __float__.
    (FloatOnly(), TypeError),
])
def test_tool_count_conversion_errors_propagate(mr, value, error):
    with pytest.raises(error):
        mr.classify_complexity("a task of some length here", value)
