"""The README's usage example, run as a script, prints what its comments claim.

A print() line's trailing comment is the line it prints; a comment line that starts with
"# logs:" is a line the module logs (the example shows logging at INFO on stderr)."""

import os
import subprocess
import sys


def test_usage_example_prints_what_its_comments_claim(readme_example, tmp_path):
    stdout, stderr = [], []
    for line in readme_example.splitlines():
        if line.startswith("print(") and "  # " in line:
            stdout.append(line.split("  # ", 1)[1].strip())
        elif line.startswith("# logs: "):
            stderr.append(line[len("# logs: "):])
    assert len(stdout) >= 5 and len(stderr) >= 3
    script = tmp_path / "example.py"
    script.write_text(readme_example)
    env = {k: v for k, v in os.environ.items() if not k.endswith("_API_KEY")}
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, env=env,
                            cwd=tmp_path, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == stdout
    assert result.stderr.splitlines() == stderr


def test_command_line_examples_print_what_they_show():
    """Each ```console block: a "$ halvec ..." line, then what the program prints."""
    import pathlib
    import re
    import shlex

    readme = pathlib.Path(__file__).resolve().parent.parent.joinpath("README.md").read_text(encoding="utf-8")
    blocks = re.findall(r"```console\n(.*?)```", readme, re.DOTALL)
    examples = [(shlex.split(command), output) for block in blocks
                for command, output in re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", block, re.MULTILINE)]
    assert len(examples) >= 3 and all(args[0] == "halvec" for args, _ in examples)
    script = pathlib.Path(sys.executable).with_name("halvec")
    env = {k: v for k, v in os.environ.items() if not k.endswith("_API_KEY") and k != "PYTHONIOENCODING"}
    env["PYTHONIOENCODING"] = "utf-8"
    for args, output in examples:
        result = subprocess.run([str(script), *args[1:]], capture_output=True, text=True, encoding="utf-8",
                                env=env, timeout=120)
        assert result.returncode == 0, result.stderr
        assert result.stdout == output, args
