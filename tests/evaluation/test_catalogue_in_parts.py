"""A workload evaluated in parts by a pool of processes routes with the catalogue in force in
the process that runs it: a user's own models reach every part."""

import io
import os
import time

from halvec.catalogue import applied
from halvec.config import SecretsStore
from halvec.core import model_router as mr
from halvec.evaluation import Settings, evaluate
from halvec.workload import TaskReader

from test_parallel import in_parts as in_parts_of, options


class SlowHere(SecretsStore):
    """A key for every provider, slow to say so the first time in the process that made it:
    the pool's processes start and take parts meanwhile."""

    def __init__(self):
        super().__init__()
        self.parent, self.asked = os.getpid(), False

    def has_key(self, provider):
        if os.getpid() == self.parent and not self.asked:
            self.asked = True
            time.sleep(2)
        return True


def test_every_part_routes_with_a_users_own_models(tmp_path):
    path = tmp_path / "tasks.txt"
    path.write_text("".join(f"task number {i} with some words in it\n" for i in range(400)), encoding="utf-8")
    local = mr.ModelSpec("local-7b", "ollama", "Local 7B", mr.Complexity.SIMPLE, cost_per_1k_input=0.5,
                         cost_per_1k_output=0.25)
    store = SlowHere()
    with applied({**mr.AVAILABLE_MODELS, "local": local}):
        settings = Settings(config=mr.ModelRoutingConfig(enabled_models=["local"]), store=store)
        in_parts, lines = in_parts_of(path, settings, 2, name="tasks.txt")
        with open(path, "rb") as stream:
            whole = evaluate(TaskReader(stream, **options(name="tasks.txt")), settings, out=(out := io.BytesIO()))
    assert in_parts.summary.models["local"] == 400
    assert in_parts.summary == whole.summary
    # each task's line, whichever process wrote it, names the model and costs it at its prices
    assert lines == out.getvalue() and lines.count(b'"model":"local"') == 400
