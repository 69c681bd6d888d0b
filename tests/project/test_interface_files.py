"""The type stub and the command line, as a user meets them."""

import ast
import inspect
import pathlib

import pytest

import halvec.core
from conftest import run_main


def _stub_functions():
    stub = pathlib.Path(halvec.core.__file__).with_name("model_router.pyi")
    tree = ast.parse(stub.read_text())
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, node
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    yield f"{node.name}.{item.name}", item


def _runtime(mr, dotted):
    obj = mr
    for part in dotted.split("."):
        obj = inspect.getattr_static(obj, part)
    if isinstance(obj, classmethod):
        return obj.__func__
    return obj.fget if isinstance(obj, property) else obj


def test_stub_matches_the_runtime_signatures(mr):
    checked = 0
    for dotted, node in _stub_functions():
        func = _runtime(mr, dotted)
        args = node.args.args
        assert tuple(a.arg for a in args) == func.__code__.co_varnames, dotted
        annotations = {a.arg: ast.unparse(a.annotation) for a in args if a.annotation}
        if node.returns is not None and dotted != "ModelRouter.__init__":
            annotations["return"] = ast.unparse(node.returns)
        assert annotations == func.__annotations__, dotted
        defaults = tuple(ast.literal_eval(d) for d in node.args.defaults) or None
        assert defaults == func.__defaults__, dotted
        checked += 1
    assert checked == 16


def test_route_command():
    out = "".join(run_main(args).stdout for args in (
        ["route", "Research the pricing pages of three hosting providers", "--keys", "anthropic",
         "--cost-conscious"],
        ["route", "Summarise the meeting notes", "--scheduler", "--model", "gpt-5.2",
         "--keys", "anthropic,openai", "--enabled", "gpt-5.2"]))
    assert out.splitlines() == [
        "model:        Claude Sonnet (claude-sonnet)",
        "decided by:   auto [complex]",
        "model string: anthropic/claude-sonnet-4-6",
        "log:",
        "  INFO Worker model (auto [complex]): Claude Sonnet for 'Research the pricing pages of three hosting provid'",
        "model:        GPT-5.2 (gpt-5.2)",
        "decided by:   explicit choice (--model gpt-5.2)",
        "model string: openai/gpt-5.2",
        "log: (none)",
    ]


@pytest.mark.parametrize("env, available", [({"OPENAI_API_KEY": "sk"}, ["no", "no", "no", "yes"]),
                                            ({"OPENAI_API_KEY": ""}, ["no"] * 4)])
def test_models_command_and_environment_keys(env, available):
    rows = run_main(["models"], env={"ANTHROPIC_API_KEY": "", **env}).stdout.splitlines()[2:]
    assert [row.split()[0] for row in rows] == ["claude-opus", "claude-sonnet", "claude-haiku", "gpt-5.2"]
    assert [row.split()[-5] for row in rows] == available
