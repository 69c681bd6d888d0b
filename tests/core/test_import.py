"""Import behaviour, each case in a fresh interpreter."""

import sys


def test_second_import_removal_and_reload_give_the_same_module(python):
    out = python("""
        import importlib, sys
        import halvec.core.model_router as m
        catalogue = m.AVAILABLE_MODELS
        m._SIMPLE_PATTERNS.append("marker")
        import halvec.core.model_router as again
        del sys.modules["halvec.core.model_router"]
        import halvec.core.model_router as after_removal
        assert importlib.reload(m) is m
        print(again is m, after_removal is m, sys.modules["halvec.core.model_router"] is m,
              m.AVAILABLE_MODELS is catalogue, m._SIMPLE_PATTERNS[-1])
    """)
    assert out.split() == ["True", "True", "True", "True", "marker"]


def test_a_dropped_and_collected_module_imports_again_as_the_same_object(python):
    # A test runner or plugin host may purge sys.modules and collect: the
    # module lives on (until the interpreter exits), and importing it again
    # gives that object, working, with nothing run twice.
    out = python("""
        import gc, sys, weakref
        import halvec.core.model_router as m
        ref, catalogue_id = weakref.ref(m), id(m.AVAILABLE_MODELS)
        for name in [n for n in sys.modules if n.startswith("halvec")]:
            del sys.modules[name]
        del m
        gc.collect()
        print(ref() is not None)
        import halvec.core.model_router as again
        print(again is ref(), id(again.AVAILABLE_MODELS) == catalogue_id,
              again.classify_complexity("Write a detailed report on our Q3 sales").name)
    """)
    assert out.split() == ["True", "True", "True", "COMPLEX"]


def test_the_module_and_its_types_go_once_the_exit_callbacks_have_run(python):
    # The function and classifier-state types belong to the module's objects,
    # not to static storage; the module is kept until the interpreter runs
    # its exit callbacks, and then goes with everything it holds.
    out = python("""
        import atexit, gc, sys, weakref
        import halvec.core.model_router as m
        module = weakref.ref(m)
        function_type = weakref.ref(type(m.classify_complexity))
        state, = [o for o in gc.get_referents(m.classify_complexity)
                  if type(o).__name__ == "classifier_state"]
        state_type = weakref.ref(type(state))
        del state
        del m, sys.modules["halvec.core.model_router"], sys.modules["halvec.core"].model_router
        gc.collect()
        print(module() is not None, state_type().__name__)
        atexit._run_exitfuncs()
        gc.collect()
        print(module(), function_type(), state_type())
    """)
    assert out.split() == ["True", "classifier_state", "None", "None", "None"]


RE_CACHES = """
        print(sorted(map(repr, re._cache)), sorted(map(repr, getattr(re, "_cache2", {}))))
"""


def test_import_is_lazy(python):
    # Importing compiles no pattern and asks no store. What re's caches hold afterwards is
    # the standard library's own: from CPython 3.15 on, dataclasses compiles a pattern
    # the first time it meets a string annotation, and the module's record classes have
    # them; exactly what one such dataclass of our own puts there. Before 3.15, nothing.
    standard_library = python("""
        import dataclasses, enum, logging, re, typing
        re.purge()
        @dataclasses.dataclass
        class Record:
            name: "str"
    """ + RE_CACHES)
    out = python("""
        import dataclasses, enum, logging, re, typing
        import halvec.config
        halvec.config.SecretsStore.has_key = lambda *a: print("asked")
        halvec.config.SecretsStore.__init__ = lambda *a: print("created")
        re.purge()
        import halvec.core.model_router as m
    """ + RE_CACHES)
    assert out == standard_library
    if sys.version_info < (3, 15):
        assert out == "[] []\n"


def test_legacy_subinterpreter_is_refused(python, tmp_path):
    result_file = tmp_path / "result"
    subinterpreter_code = (
        "try:\n"
        "    import halvec.core.model_router\n"
        "    outcome = 'imported'\n"
        "except ImportError as e:\n"
        "    outcome = 'ImportError: ' + str(e)\n"
        f"open({str(result_file)!r}, 'w').write(outcome)\n")
    out = python(f"""
        import _testcapi
        import halvec.core.model_router
        print(_testcapi.run_in_subinterp({subinterpreter_code!r}))
    """)
    assert out.strip() == "0"
    assert result_file.read_text() == ("ImportError: Interpreter change detected - this module can "
                                       "only be loaded into one interpreter per process.")


def test_second_module_object_is_refused(python):
    out = python("""
        import importlib.util
        spec = importlib.util.find_spec("halvec.core.model_router")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        assert first is not second
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as e:
            print(e)
        spec.loader.exec_module(first)  # the same object again: nothing runs
        print(first.classify_complexity("hi").value)
    """)
    assert out.splitlines() == [
        "Module 'model_router' has already been imported. Re-initialisation is not supported.",
        "simple"]


def test_missing_config_fails_the_import_and_a_later_import_starts_afresh(python):
    out = python("""
        import sys, traceback
        sys.modules["halvec.config"] = None
        try:
            import halvec.core.model_router
        except ImportError as e:
            entries = [(f.name, f.filename) for f in traceback.extract_tb(e.__traceback__)]
            print(type(e).__name__, ("init halvec.core.model_router",
                                     "halvec/core/model_router.py") in entries)
        print("halvec.core.model_router" in sys.modules)
        del sys.modules["halvec.config"]
        import halvec.core.model_router as m
        print(m.classify_complexity("Write a detailed report on our Q3 sales").name)
    """)
    assert out.split() == ["ModuleNotFoundError", "True", "False", "COMPLEX"]


def test_config_without_secrets_store(python):
    out = python("""
        import sys, types
        sys.modules["halvec.config"] = types.ModuleType("halvec.config")
        try:
            import halvec.core.model_router
        except ImportError as e:
            print(e)
        # An already loaded submodule of that name stands in for the attribute.
        stand_in = types.ModuleType("halvec.config.SecretsStore")
        sys.modules["halvec.config.SecretsStore"] = stand_in
        import halvec.core.model_router as m
        print(m.SecretsStore is stand_in)
    """)
    assert out.splitlines() == ["cannot import name SecretsStore", "True"]


def test_failing_statement_error_propagates_unchanged(python):
    out = python("""
        import logging
        class Boom(Exception):
            pass
        def get_logger(name):
            raise Boom(name)
        logging.getLogger = get_logger
        try:
            import halvec.core.model_router
        except Boom as e:
            print("Boom", e)
    """)
    assert out.strip() == "Boom halvec.model_router"
