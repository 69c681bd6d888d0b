"""halvec eval --router FILE with a router of many models (version 2): each task goes to the
model the router chooses among those usable under the run's preferences and keys, as a
FittedModelRouter chooses it; the routing's cost beside each model alone; the per-task lines
carry the chosen model; a comparison with the default rules."""

import json

import pytest

from halvec.config import SecretsStore
from halvec.core import model_router as mr
from halvec.fitted import FittedModelRouter, load_router

from conftest import run_main
from test_model_router_v2 import KEYS, MODELS, document

TASKS = ["Prove that the loop halts", "list the files", "Prove it again, then list it", "mid level work",
         "list everything in the attic", "nothing the router knows"]


@pytest.fixture
def files(tmp_path):
    router = tmp_path / "three.json"
    router.write_text(json.dumps(document()), encoding="utf-8")
    tasks = tmp_path / "tasks.jsonl"
    tasks.write_text("".join(json.dumps({"description": t, "input_tokens": 100 * (i + 1), "output_tokens": 10})
                             + "\n" for i, t in enumerate(TASKS)), encoding="utf-8")
    return str(router), str(tasks)


def _eval(*args):
    done = run_main(["eval", *args, "--json"])
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def _expected(router_path, providers, enabled=None):
    """Each task's model as the application's FittedModelRouter chooses it."""
    store = SecretsStore()
    for provider in providers:
        store.set_key(provider, "k")
    config = mr.ModelRoutingConfig() if enabled is None else mr.ModelRoutingConfig(enabled_models=enabled)
    router = FittedModelRouter(load_router(router_path), config, store)
    return [router._select_for_models(task) for task in TASKS]


@pytest.mark.parametrize("keys, enabled", [
    ("anthropic,openai", None),
    ("anthropic", None),
    ("anthropic,openai", "claude-sonnet,claude-haiku,gpt-5.2"),
    ("openai", "claude-opus,claude-haiku"),  # none usable: the fallback (here the last resort)
])
def test_each_task_goes_where_the_application_would_send_it(files, tmp_path, keys, enabled):
    router, tasks = files
    out = tmp_path / "out.jsonl"
    args = [tasks, "--router", router, "--keys", keys, "--out", str(out)]
    if enabled is not None:
        args += ["--enabled", enabled]
    data = _eval(*args)
    expected = _expected(router, keys.split(","), None if enabled is None else enabled.split(","))
    lines = [json.loads(line) for line in out.read_text(encoding="utf-8").splitlines()]
    by_key = {spec.id: key for key, spec in mr.AVAILABLE_MODELS.items()}
    assert [line["model"] for line in lines] == [by_key[spec.id] for spec in expected]
    assert [line["tier"] for line in lines] == [spec.complexity_tier.value for spec in expected]
    assert all(line["rule"] == "fitted" and line["pattern"] is None and "coverage" in line for line in lines)
    counted = {key: 0 for key in mr.AVAILABLE_MODELS}
    for line in lines:
        counted[line["model"]] += 1
    assert data["models"] == counted
    # the routing's cost is each task's with its chosen model; each model alone beside it
    cost = data["cost"]
    assert cost["routed"] == pytest.approx(sum(line["cost"] for line in lines), rel=1e-9)
    assert set(cost["alone"]) == set(mr.AVAILABLE_MODELS)


def test_the_choice_follows_prices_and_estimated_tokens_are_marked(files, tmp_path):
    router, _ = files
    plain = tmp_path / "plain.txt"
    plain.write_text("list the files\nProve that the loop halts\n", encoding="utf-8")
    data = _eval(str(plain), "--router", router)
    assert data["models"]["claude-haiku"] == 1 and data["models"]["claude-opus"] == 1
    assert data["cost"]["estimated_tasks"] == 2
    # at a large trade-off the cheapest model takes everything
    dear = tmp_path / "dear.json"
    dear.write_text(json.dumps(document(tradeoff={"lambda": 1000.0, "chosen_by": "tradeoff"})), encoding="utf-8")
    assert _eval(str(plain), "--router", str(dear))["models"]["claude-haiku"] == 2


def test_a_comparison_with_the_default_rules_reads_the_chosen_models_tiers(files):
    router, tasks = files
    data = _eval(tasks, "--router", router, "--compare", "--keys", "anthropic,openai")
    assert data["after"]["tiers"]["complex"] == 3 and data["after"]["rules"]["fitted"] == len(TASKS)


def test_a_mapping_to_a_key_not_in_the_catalogue_is_one_line(files, tmp_path):
    _, tasks = files
    bad = tmp_path / "bad.json"
    bad.write_text(json.dumps(document(catalogue={**KEYS, "mid": "nowhere"})), encoding="utf-8")
    done = run_main(["eval", tasks, "--router", str(bad)])
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.count("\n") == 1 and "maps 'mid' to 'nowhere'" in done.stderr
