"""The package's shape, as docs/development.md maps it: modules and classes small enough to read
whole, a command line that only parses and renders, and a library that never imports it. Read
from the sources (with ast, nothing imported), so a breach names its file and line."""

import ast
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PACKAGE = ROOT / "src" / "halvec"
NATIVE = ROOT / "native"
CLI = PACKAGE / "cli"
MODULE_LINES = 600  # non-blank lines of any module, Python or C++
CLI_MODULE_LINES = 400  # lines of a command-line module
CLASS_LINES = 250  # lines of a class, decorators to its last statement
# `python -m halvec` is the command line's entry point, not a part of the library
ENTRY_POINTS = {PACKAGE / "__main__.py"}


def modules(under=PACKAGE):
    found = sorted(under.rglob("*.py"))
    assert found, f"no sources under {under}"
    return found


def name_of(path):
    return path.relative_to(ROOT).as_posix()


def module_name(path, package=PACKAGE):
    parts = path.relative_to(package.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def imported(path, package_folder=PACKAGE):
    """(line, module) of every import in `path`, relative ones resolved, nested ones too; a
    `from X import Y` counts as importing X.Y as well, since Y may be a module."""
    tree = ast.parse(path.read_text(encoding="utf-8"), filename=str(path))
    name = module_name(path, package_folder)
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                yield node.lineno, alias.name
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = package.split(".")
                base = base[:len(base) - (node.level - 1)]
                source = ".".join(base + ([node.module] if node.module else []))
            else:
                source = node.module or ""
            yield node.lineno, source
            for alias in node.names:
                yield node.lineno, f"{source}.{alias.name}"


def is_cli(module):
    return module == "halvec.cli" or module.startswith("halvec.cli.")


def non_blank_lines(path):
    return sum(1 for line in path.read_text(encoding="utf-8").splitlines() if line.strip())


def test_no_module_is_too_long_to_read():
    native = sorted(p for p in NATIVE.rglob("*") if p.suffix in (".cpp", ".hpp"))
    assert native, f"no sources under {NATIVE}"
    long = [f"{name_of(p)}: {n} non-blank lines" for p in [*modules(), *native]
            if (n := non_blank_lines(p)) > MODULE_LINES]
    assert not long, f"over {MODULE_LINES} non-blank lines (split the module by job): {long}"


def test_no_command_line_module_does_more_than_parse_and_render():
    long = [f"{name_of(p)}: {n} lines" for p in modules(CLI)
            if (n := len(p.read_text(encoding="utf-8").splitlines())) > CLI_MODULE_LINES]
    assert not long, f"over {CLI_MODULE_LINES} lines (move the work into the library): {long}"


def test_no_class_is_too_long_to_read():
    long = []
    for path in modules():
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"), filename=str(path))):
            if isinstance(node, ast.ClassDef):
                first = min([node.lineno, *(d.lineno for d in node.decorator_list)])
                if (n := node.end_lineno - first + 1) > CLASS_LINES:
                    long.append(f"{name_of(path)}:{node.lineno}: class {node.name}, {n} lines")
    assert not long, f"over {CLASS_LINES} lines: {long}"


def test_the_library_never_imports_the_command_line():
    found = [f"{name_of(p)}:{line}: imports {module}" for p in modules()
             if p.parent != CLI and CLI not in p.parents and p not in ENTRY_POINTS
             for line, module in imported(p) if is_cli(module)]
    assert not found, found


@pytest.mark.parametrize(("source", "where", "found"), [
    ("import halvec.cli.output", "halvec/evaluation/runs.py", True),
    ("from halvec import cli", "halvec/evaluation/runs.py", True),
    ("from ..cli import options", "halvec/evaluation/runs.py", True),
    ("from .. import cli", "halvec/evaluation/runs.py", True),
    ("from . import cli", "halvec/__init__.py", True),
    ("def f(): from .cli.output import write", "halvec/explain.py", True),
    ("from . import client", "halvec/__init__.py", False),
    ("from ..cli_free import x", "halvec/evaluation/runs.py", False),
    ("from ..reading import Lines", "halvec/evaluation/runs.py", False),
])
def test_imports_of_the_command_line_are_found_however_written(tmp_path, source, where, found):
    package = tmp_path / "src" / "halvec"
    path = package / where.removeprefix("halvec/")
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(source, encoding="utf-8")
    assert any(is_cli(module) for _, module in imported(path, package)) is found
