"""--catalogue FILE: a user's own models added to the catalogue, or put in its place, for a
command's run (models, route, eval): read from TOML or JSON, refused whole in one line naming
the file and the line, the model-key options and --prices taking its keys, a router of many
models mapping to them, and the catalogue put back as it was after the run."""

import json

import pytest

from halvec.catalogue import Catalogue, CatalogueFileError, applied, load_catalogue
from halvec.core import model_router as mr
from halvec.reading import OPTION_FILE

from conftest import run_main
from test_eval_many_models import document

TOML = """mode = "add"
[models.local-coder]
provider = "ollama"
id = "qwen2.5-coder:7b"
display_name = "Local coder"
tier = "moderate"
input = 0.0
output = 0.0
description = "runs here"

[models.big-cheap]
provider = "openai"
id = "gpt-x-mini"
display_name = "GPT X mini"
tier = "simple"
input = 0.0001
output = 0.0004
"""
MODELS = {"local-coder": {"provider": "ollama", "id": "qwen2.5-coder:7b", "display_name": "Local coder",
                          "tier": "moderate", "input": 0.0, "output": 0.0, "description": "runs here"},
          "big-cheap": {"provider": "openai", "id": "gpt-x-mini", "display_name": "GPT X mini", "tier": "simple",
                        "input": 0.0001, "output": 0.0004}}


@pytest.fixture
def write(tmp_path):
    def write(content, name="catalogue.toml"):
        path = tmp_path / name
        path.write_text(content if isinstance(content, str) else json.dumps(content, indent=1), encoding="utf-8")
        return str(path)
    return write


def test_toml_and_json_give_the_same_models_added_or_in_the_catalogues_place(write):
    from_toml = load_catalogue(write(TOML))
    from_json = load_catalogue(write({"models": MODELS}, "catalogue.json"))
    assert from_toml.models == from_json.models and from_toml.mode == from_json.mode == "add"
    spec = from_toml.models["local-coder"]
    assert (spec.id, spec.provider, spec.display_name, spec.complexity_tier, spec.cost_per_1k_input,
            spec.description) == ("qwen2.5-coder:7b", "ollama", "Local coder", mr.Complexity.MODERATE, 0.0, "runs here")
    assert list(from_toml.in_force()) == [*mr.AVAILABLE_MODELS, "local-coder", "big-cheap"]
    replacing = Catalogue({"claude-sonnet": spec}, "replace", "x")
    assert replacing.in_force() == {"claude-sonnet": spec}
    before = dict(mr.AVAILABLE_MODELS)
    with applied(from_toml.in_force()):
        assert mr.AVAILABLE_MODELS["big-cheap"].id == "gpt-x-mini"
    assert mr.AVAILABLE_MODELS == before


SONNET = dict(MODELS["local-coder"], id="s")


@pytest.mark.parametrize("content, name, problem", [
    ('mode = "add"\nmodel = 1\n', "c.toml", "unknown key 'model' (choose from mode, models); did you mean 'models'?"),
    ('mode = "merge"\n[models.a]\n', "c.toml", '"mode" is "merge": give "add"'),
    ("x = [", "c.toml", "not valid TOML: "),
    ("{}", "c.json", 'needs a "models" table'),
    (TOML.replace('tier = "moderate"', 'tier = "hard"'), "c.toml",
     'line 2: "models"."local-coder"."tier" is "hard": give simple, moderate or complex'),
    (TOML.replace("input = 0.0001", "input = -1"), "c.toml",
     'line 11: "models"."big-cheap"."input" is -1, not a price'),
    (TOML.replace('display_name = "GPT X mini"\n', ""), "c.toml", 'line 11: "models"."big-cheap" has no "display_name"'),
    (TOML.replace("description", "descrption"), "c.toml",
     "unknown field 'descrption' (choose from provider, id, display_name, tier, input, output, description); "
     "did you mean 'description'?"),
    (TOML.replace("[models.big-cheap]", "[models.claude-haiku]"), "c.toml",
     "line 11: \"models\": 'claude-haiku' is already a key of the catalogue"),
    (TOML.replace('id = "gpt-x-mini"', 'id = "gpt-5.2"'), "c.toml",
     "line 11: \"models\".\"big-cheap\": the id 'gpt-5.2' is also the id of 'gpt-5.2'"),
    (TOML + "\n[models.local-coder]\n", "c.toml", "not valid TOML: "),
    ('{"models": {"a": {}, "a": {}}}', "c.json", "line 1: the key 'a' is written twice"),
    ('{"models": {"a": {"input": NaN}}}', "c.json", "NaN is not a price"),
    ({"mode": "replace", "models": {"mine": MODELS["local-coder"]}}, "c.json",
     "a catalogue that replaces the built-in one must hold 'claude-sonnet'"),
    ({"models": {"auto": MODELS["local-coder"]}}, "c.json", "\"auto\" leaves the choice to the router"),
])
def test_a_catalogue_that_is_wrong_anywhere_is_refused_whole_in_one_line(write, content, name, problem):
    path = write(content, name)
    with pytest.raises(CatalogueFileError) as caught:
        load_catalogue(path)
    assert repr(path) in str(caught.value) and problem in str(caught.value)
    done = run_main(["models", "--catalogue", path])
    assert done.returncode == 2 and done.stdout == "" and done.stderr.count("\n") == 1
    assert done.stderr.startswith(f"python -m halvec models: error: --catalogue {path!r}")


def test_a_catalogue_past_its_cap_is_refused_unread(write, monkeypatch):
    path = write(TOML)
    monkeypatch.setattr(OPTION_FILE, "bytes", 100)
    with pytest.raises(CatalogueFileError, match="larger than 100 bytes, the most a prices, preferences, patterns "
                                                 "or catalogue file may have"):
        load_catalogue(path)


def test_the_commands_use_the_users_models_and_put_the_catalogue_back(write):
    path = write(TOML)
    before = dict(mr.AVAILABLE_MODELS)
    listed = json.loads(run_main(["models", "--catalogue", path, "--keys", "ollama", "--json"]).stdout)
    assert [(m["key"], m["enabled"], m["available"]) for m in listed][-2:] == [
        ("local-coder", True, True), ("big-cheap", True, False)]
    routed = json.loads(run_main(["route", "Summarise the notes", "--catalogue", path, "--keys", "ollama",
                                  "--enabled", "local-coder", "--json"]).stdout)
    assert (routed["model"], routed["decided_by"], routed["model_string"]) == (
        "local-coder", "fallback", "qwen2.5-coder:7b")
    explicit = run_main(["route", "x", "--catalogue", path, "--model", "big-cheap", "--keys", "openai"])
    assert explicit.stdout.startswith("model:        GPT X mini (big-cheap)")
    assert mr.AVAILABLE_MODELS == before
    # without the file its keys are unknown, as any other
    unknown = run_main(["route", "x", "--model", "big-cheap"])
    assert unknown.returncode == 2 and "argument --model: unknown model key 'big-cheap'" in unknown.stderr
    unknown = run_main(["eval", path, "--catalogue", path, "--baseline", "nope"])
    assert unknown.returncode == 2 and "argument --baseline: unknown model key 'nope'" in unknown.stderr


def test_eval_costs_the_users_models_and_prices_files_take_their_keys(write, tmp_path):
    path = write(TOML)
    tasks = tmp_path / "tasks.jsonl"
    tasks.write_text(json.dumps({"description": "Summarise the notes", "input_tokens": 1000, "output_tokens": 1000})
                     + "\n", encoding="utf-8")
    done = run_main(["eval", str(tasks), "--catalogue", path, "--keys", "openai", "--enabled", "big-cheap", "--json"])
    data = json.loads(done.stdout)
    assert data["models"]["big-cheap"] == 1 and data["cost"]["routed"] == pytest.approx(0.0005)
    assert data["cost"]["alone"]["local-coder"] == 0.0
    prices = {"models": {key: {"input": 0.001, "output": 0.002}
                         for key in [*mr.AVAILABLE_MODELS, "local-coder", "big-cheap"]}}
    prices_path = write(prices, "prices.json")
    priced = json.loads(run_main(["eval", str(tasks), "--catalogue", path, "--prices", prices_path,
                                  "--json"]).stdout)
    assert priced["cost"]["alone"]["big-cheap"] == pytest.approx(0.003)
    refused = run_main(["eval", str(tasks), "--prices", prices_path])
    assert refused.returncode == 2 and "unknown model key 'local-coder'" in refused.stderr


def test_a_router_of_many_models_may_map_to_the_users_models(write, tmp_path):
    router = tmp_path / "r.json"
    router.write_text(json.dumps(document(catalogue={"big": "claude-opus", "small": "local-coder"})))
    path = write(TOML)
    chosen = json.loads(run_main(["route", "list them", "--router", str(router), "--catalogue", path, "--keys",
                                  "ollama", "--json"]).stdout)
    assert (chosen["model"], chosen["decided_by"], chosen["complexity"]) == ("local-coder", "auto", "moderate")
    missing = run_main(["route", "list them", "--router", str(router)])
    assert missing.returncode == 2 and "maps 'small' to 'local-coder', which is not in the catalogue" in missing.stderr
