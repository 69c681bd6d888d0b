"""The installed distribution: version, metadata, entry point and files. scripts/test.sh
runs these against the build it installs; scripts/wheel.sh against the repaired wheel
(it sets HALVEC_WHEEL), after twine and auditwheel have checked the files themselves."""

import importlib.machinery
import importlib.metadata
import json
import os
import pathlib
import re
import sys
import tomllib

import pytest

import halvec

ROOT = pathlib.Path(__file__).resolve().parents[2]
DIST = importlib.metadata.distribution("halvec")
PRIVATE_MODULES = ("_patterns", "_fitted", "_workload", "_quality")
"""The package's private extension modules, each with its stub."""


def test_version_is_written_once_and_exposed():
    assert re.fullmatch(r"\d+\.\d+\.\d+", halvec.__version__)
    assert DIST.version == halvec.__version__
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    assert "version" in project["dynamic"] and "version" not in project
    init = (ROOT / "src" / "halvec" / "__init__.py").read_text()
    assert f'__version__: str = "{halvec.__version__}"' in init


def test_metadata():
    meta = DIST.metadata
    assert meta["Name"] == "halvec"
    assert meta["Requires-Python"] == "<3.16,>=3.12"
    assert meta["License-Expression"] == "MIT"
    assert meta.get_all("License-File") == ["LICENSE"]
    assert meta["Description-Content-Type"] == "text/markdown"
    # The long description, the METADATA's body: importlib.metadata gives it as the message's
    # payload and as a "Description" field, and from CPython 3.15 on as the field only.
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    assert meta["Description"] == readme
    assert meta.get_payload() == ("" if sys.version_info >= (3, 15) else readme)
    classifiers = set(meta.get_all("Classifier"))
    assert {"Programming Language :: Python :: 3.12", "Programming Language :: Python :: 3.13",
            "Programming Language :: Python :: 3.14", "Programming Language :: Python :: 3.15",
            "Programming Language :: C++", "Typing :: Typed",
            "Programming Language :: Python :: Implementation :: CPython"} <= classifiers
    assert not any(c.startswith("License ::") for c in classifiers)  # the expression says it


def test_license_file_is_installed():
    files = {str(f) for f in DIST.files}
    licence = next(f for f in DIST.files if str(f).endswith("licenses/LICENSE"))
    assert licence.read_text() == (ROOT / "LICENSE").read_text()
    assert licence.read_text().startswith("MIT License")
    assert {"halvec/py.typed", "halvec/core/model_router.pyi", "halvec/config.py",
            "halvec/__main__.py", "halvec/cli/__init__.py", "halvec/cli/route.py"} <= files
    assert {f"halvec/{name}.pyi" for name in PRIVATE_MODULES} <= files


def test_console_script():
    (entry,) = [e for e in DIST.entry_points if e.group == "console_scripts"]
    assert (entry.name, entry.value) == ("halvec", "halvec.cli:main")
    assert pathlib.Path(sys.executable).with_name("halvec").exists()


def test_extension_is_built_for_this_interpreter():
    from halvec.core import model_router
    assert model_router.__file__.endswith("model_router" + importlib.machinery.EXTENSION_SUFFIXES[0])


@pytest.mark.parametrize("name", PRIVATE_MODULES)
def test_every_private_extension_module_is_installed_beside_its_stub(name):
    module = importlib.import_module(f"halvec.{name}")
    path = pathlib.Path(module.__file__)
    assert path.name == name + importlib.machinery.EXTENSION_SUFFIXES[0]
    assert path.with_name(f"{name}.pyi").is_file()
    assert str(path.relative_to(pathlib.Path(halvec.__file__).parent.parent)) in {str(f) for f in DIST.files}


@pytest.mark.skipif(not os.environ.get("HALVEC_WHEEL"), reason="only against the wheel (scripts/wheel.sh)")
def test_installed_from_the_repaired_wheel():
    wheel = pathlib.Path(os.environ["HALVEC_WHEEL"])
    direct_url = json.loads(DIST.read_text("direct_url.json"))
    assert direct_url["url"] == wheel.as_uri()
    name, version, python, abi, platform = wheel.stem.split("-")
    cp = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    assert (name, version, python, abi) == ("halvec", halvec.__version__, cp, cp)
    tags = platform.split(".")
    assert tags[0].startswith("manylinux_2_") and int(tags[0].split("_")[2]) <= 34, platform
    # the system libstdc++ stays a shared library, not bundled into the wheel
    assert not any("libstdc++" in str(f) for f in DIST.files)
