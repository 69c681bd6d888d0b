"""ModelRouter against the same behaviour in plain Python (tests/reference.py)
and against that same file compiled with Cython, all measured in one run.

Run with the venv's interpreter: .venv/bin/python benchmarks/speed/bench_router.py
The Cython build is made on each run in a temporary folder (Cython is
installed into the environment when missing). Every router gets the same
preferences and the same secrets store; each call is timed as the statement
a caller writes, the implementations taking turns, best run of each.
"""

import logging
import pathlib
import platform

from _timing import fmt, header3, interleaved, per_call, row3

import preferences_model
import reference
import _cython_peer
from halvec.core import model_router as mr

TASK = "Summarize the key decisions from yesterday's product sync and send them to the team channel"
HERE = pathlib.Path(__file__).resolve().parent


class Store:
    def has_key(self, provider):
        return provider == "anthropic"


def implementations():
    version, compiled = _cython_peer.build({
        "reference_cython": HERE.parents[1] / "tests" / "reference.py",
        "preferences_cython": HERE / "preferences_model.py",
    })
    return version, [
        ("native", mr.ModelRouter, mr.ModelRoutingConfig),
        ("Cython", compiled["reference_cython"].ReferenceRouter,
         compiled["preferences_cython"].RoutingPreferences),
        ("Python", reference.ReferenceRouter, preferences_model.RoutingPreferences),
    ]


def namespace(router_class, config_class):
    router = router_class(mr.ModelRoutingConfig(), Store())
    return dict(router=router, Router=router_class, Config=config_class, TASK=TASK, store=Store(),
                preferences=mr.ModelRoutingConfig(), spec=mr.AVAILABLE_MODELS["claude-haiku"],
                config=config_class(), data=config_class().to_dict())


def compare(impls, name, statement, *, same_result=True):
    spaces = [namespace(router_class, config_class) for _, router_class, config_class in impls]
    if same_result:  # the three are timed doing the same thing
        results = [eval(statement, space) for space in spaces]
        assert all(r == results[0] for r in results), (name, results)
    row3(name, interleaved([statement] * len(impls), spaces, rounds=15))


def main():
    version, impls = implementations()
    logger = logging.getLogger("halvec.model_router")
    header3(f"ModelRouter (CPython {platform.python_version()}, Cython {version})",
            [name for name, _, _ in impls])
    for label, enabled in (("logging disabled", False), ("logging enabled", True)):
        logger.handlers[:] = [logging.NullHandler()] if enabled else []
        logger.setLevel(logging.INFO if enabled else logging.WARNING)
        logger.propagate = not enabled
        compare(impls, f"select_for_worker auto, {label}", "router.select_for_worker(TASK, 'auto')")
        compare(impls, f"select_for_worker explicit, {label}",
                "router.select_for_worker(TASK, 'claude-haiku')")
    logger.handlers[:] = []
    logger.setLevel(logging.NOTSET)
    logger.propagate = True
    compare(impls, "select_for_scheduler auto", "router.select_for_scheduler(TASK)")
    compare(impls, "get_available_models", "router.get_available_models()")
    compare(impls, "record_usage", "router.record_usage('claude-haiku', 120)")
    compare(impls, "get_model", "router.get_model('claude-haiku')")
    compare(impls, "get_litellm_model_string", "router.get_litellm_model_string(spec)")
    compare(impls, "get_usage_stats", "router.get_usage_stats()")
    compare(impls, "config", "router.config", same_result=False)
    compare(impls, "update_config", "router.update_config(preferences)")
    compare(impls, "ModelRouter(config, secrets)", "Router(preferences, store)", same_result=False)
    compare(impls, "ModelRoutingConfig.to_dict", "config.to_dict()")
    compare(impls, "ModelRoutingConfig.from_dict", "Config.from_dict(data)", same_result=False)

    native = mr.ModelRouter(mr.ModelRoutingConfig(), Store())
    positional = per_call(lambda: native.record_usage("claude-haiku", 120))
    keywords = per_call(lambda: native.record_usage(model_key="claude-haiku", tokens=120))
    print(f"\nargument binding: record_usage by keyword {fmt(keywords)}, by position {fmt(positional)}:"
          f" keywords cost {keywords / positional:.2f}x")


if __name__ == "__main__":
    main()
