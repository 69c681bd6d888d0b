"""--catalogue with bench --models and fit --models: models named by the catalogue's keys are
priced from it where the files give no costs, fit maps them in the router file; and the
catalogue is an input like any other, never the file an output replaces."""

import json

import pytest

from halvec.cli import main
from halvec.core import model_router as mr

CATALOGUE = """mode = "add"
[models.local-small]
provider = "ollama"
id = "small:1b"
display_name = "Local small"
tier = "simple"
input = 0.0
output = 0.0

[models.local-large]
provider = "ollama"
id = "large:70b"
display_name = "Local large"
tier = "complex"
input = 0.01
output = 0.03
"""


def _outcomes(path, n=80):
    """Planted: "integral" prompts only the large model gets right."""
    lines = []
    for i in range(n):
        hard = i % 2 == 0
        prompt = f"solve the integral of x to the power {i}" if hard else f"name a colour, number {i}"
        lines.append(json.dumps({"prompt": prompt, "scores": {"local-large": 1.0, "local-small": 0.0 if hard else 1.0}}))
    path.write_text("\n".join(lines) + "\n")
    return str(path)


@pytest.fixture
def files(tmp_path):
    catalogue = tmp_path / "catalogue.toml"
    catalogue.write_text(CATALOGUE)
    return _outcomes(tmp_path / "o.jsonl"), str(catalogue)


def test_bench_prices_the_catalogues_models_from_it(files, capsys):
    data, catalogue = files
    assert main(["bench", data, "--models", "all"]) == 2  # no costs, no prices: one line
    assert "no price for" in capsys.readouterr().err
    assert main(["bench", data, "--models", "all", "--catalogue", catalogue, "--json", "--resamples", "50"]) == 0
    report = json.loads(capsys.readouterr().out)
    assert report["files"][0]["cost_source"] == "catalogue"
    assert "local-large" not in mr.AVAILABLE_MODELS  # the run's only


def test_fit_maps_the_catalogues_models_in_the_router_file(files, tmp_path, capsys):
    pytest.importorskip("sklearn")
    data, catalogue = files
    router = tmp_path / "router.json"
    assert main(["fit", data, "--models", "all", "--catalogue", catalogue, "--min-prompts", "50", "--folds", "2",
                 "-o", str(router)]) == 0, capsys.readouterr().err
    written = json.loads(router.read_text())
    assert written["catalogue"] == {"local-large": "local-large", "local-small": "local-small"}


@pytest.mark.parametrize("command", [
    ["bench", "{data}", "--models", "all", "--catalogue", "{catalogue}", "--out", "{catalogue}"],
    ["fit", "{data}", "--models", "all", "--catalogue", "{catalogue}", "-o", "{catalogue}"],
    ["eval", "{data}", "--catalogue", "{catalogue}", "--out", "{catalogue}"],
])
def test_the_catalogue_is_never_the_output(files, capsys, command):
    data, catalogue = files
    before = open(catalogue).read()
    assert main([a.format(data=data, catalogue=catalogue) for a in command]) == 2
    assert "is the same file as --catalogue" in capsys.readouterr().err
    assert open(catalogue).read() == before
