"""The code blocks of the README and of the guides in docs/ run and print what they show.

A ```python block runs as a script: a print() line's trailing comment is the line it prints,
and a comment line that starts with "# logs:" is a line the module logs (the examples show
logging at INFO on stderr); one that starts with "# needs halvec[fit]" runs where the extra is
installed. A ```console block is "$ halvec ..." lines, each followed by what the program
prints. Blocks meant only to be read are indented or fenced as ```text."""

import os
import pathlib
import re
import shlex
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]


def _blocks(kind):
    return [pytest.param(block, id=f"{path.name}-{number}") for path in DOCUMENTS
            for number, block in enumerate(re.findall(rf"```{kind}\n(.*?)```", path.read_text(encoding="utf-8"),
                                                      re.DOTALL))]


def _anchor(heading):
    """GitHub's anchor for a heading: lower-cased, punctuation dropped, blanks as hyphens."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def test_links_between_the_documents_lead_somewhere():
    for path in DOCUMENTS:
        for target in re.findall(r"\]\(([^)\s]+)\)", path.read_text(encoding="utf-8")):
            if re.match(r"[a-z]+:", target):
                continue
            file, _, anchor = target.partition("#")
            linked = (path.parent / file).resolve() if file else path
            assert linked.is_file(), f"{path.name}: {target}"
            if anchor:
                headings = re.findall(r"^#+ (.*)$", linked.read_text(encoding="utf-8"), re.MULTILINE)
                assert anchor in {_anchor(h) for h in headings}, f"{path.name}: {target}"


def _env():
    env = {k: v for k, v in os.environ.items() if not k.endswith("_API_KEY") and k != "PYTHONIOENCODING"}
    env["PYTHONIOENCODING"] = "utf-8"
    return env


def test_the_documents_hold_examples():
    assert len(_blocks("python")) >= 1 and len(_blocks("console")) >= 2


def test_an_example_writes_only_files_no_other_step_of_the_documents_uses():
    # run beside the other steps, an example must not destroy their files: a file a script
    # writes (open(NAME, "w")) is named by no other block, and a file a command writes (--out,
    # --plot, -o, >) by no other block that writes it
    script_writes = re.compile(r"""open\(["']([^"']+)["'],\s*["'][wax]""")
    command_writes = re.compile(r"(?:--out|--plot|-o|>)\s+([^\s|&;]+)")
    blocks = [block for path in DOCUMENTS
              for block in re.findall(r"```\w*\n.*?```|^(?:    .*\n)+", path.read_text(encoding="utf-8"),
                                      re.DOTALL | re.MULTILINE)]
    def files(names):  # file names, not a synopsis's placeholders (FILE.svg, ROUTER.json)
        return {name for name in names if re.fullmatch(r"[a-z0-9_./-]+\.[a-z0-9]+", name)}

    named = [(block, files(script_writes.findall(block)), files(command_writes.findall(block))) for block in blocks]
    for block, scripts, commands in named:
        for other, other_scripts, other_commands in named:
            if other is block:
                continue
            assert not {n for n in scripts if re.search(rf"(?<![\w.-]){re.escape(n)}(?![\w.-])", other)}, other[:80]
            assert not commands & (other_scripts | other_commands), other[:80]


@pytest.mark.parametrize("example", _blocks("python"))
def test_python_example_prints_what_its_comments_claim(example, tmp_path):
    if example.startswith("# needs halvec[fit]"):  # an example of fitting: where the extra is installed
        pytest.importorskip("sklearn")
    stdout, stderr = [], []
    for line in example.splitlines():
        if line.startswith("print(") and "  # " in line:
            stdout.append(line.split("  # ", 1)[1].strip())
        elif line.startswith("# logs: "):
            stderr.append(line[len("# logs: "):])
    script = tmp_path / "example.py"
    script.write_text(example, encoding="utf-8")
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, encoding="utf-8",
                            env=_env(), cwd=tmp_path, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == stdout
    assert result.stderr.splitlines() == stderr


@pytest.mark.parametrize("block", _blocks("console"))
def test_command_line_example_prints_what_it_shows(block):
    examples = [(shlex.split(command), output)
                for command, output in re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", block, re.MULTILINE)]
    assert examples and all(args[0] == "halvec" for args, _ in examples)
    script = pathlib.Path(sys.executable).with_name("halvec")
    for args, output in examples:
        result = subprocess.run([str(script), *args[1:]], capture_output=True, text=True, encoding="utf-8",
                                env=_env(), timeout=120)
        assert result.returncode == 0, result.stderr
        assert result.stdout == output, args
