"""The plain-Python models compiled with Cython, as a user would build them.

Cython is a benchmark-only dependency: when it is missing it is installed
from PyPI into the running environment. Each source is compiled into a
temporary folder with the interpreter's own compiler and flags (what a
setuptools build would use) and imported from there under a name of its own,
so the plain-Python module and its compiled twin live side by side.
"""

import importlib.util
import pathlib
import shlex
import subprocess
import sys
import sysconfig
import tempfile


def ensure_cython():
    try:
        import Cython  # noqa: F401
    except ImportError:
        print("installing Cython into this environment (benchmark only) ...", file=sys.stderr)
        try:
            subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                            "cython>=3.1"], check=True)
        except (OSError, subprocess.CalledProcessError) as e:
            raise SystemExit(f"Cython is needed for the compiled peer: {sys.executable} -m pip install "
                             f"cython ({e})") from None
    import Cython
    return Cython.__version__


def _compile(source, name, folder):
    py_file = folder / f"{name}.py"
    py_file.write_text(pathlib.Path(source).read_text())
    c_file = folder / f"{name}.c"
    subprocess.run([sys.executable, "-m", "cython", "-3", str(py_file), "-o", str(c_file)],
                   check=True)
    so_file = folder / f"{name}{sysconfig.get_config_var('EXT_SUFFIX')}"
    var = sysconfig.get_config_var
    command = (shlex.split(var("LDSHARED")) + shlex.split(var("CFLAGS")) + shlex.split(var("CCSHARED"))
               + ["-I", sysconfig.get_paths()["include"], str(c_file), "-o", str(so_file)])
    subprocess.run(command, check=True)
    return so_file


def build(sources):
    """{name: path} -> {name: module}: each source compiled and imported as `name`."""
    version = ensure_cython()
    modules = {}
    with tempfile.TemporaryDirectory(prefix="halvec-cython-") as tmp:
        for name, source in sources.items():
            so_file = _compile(source, name, pathlib.Path(tmp))
            spec = importlib.util.spec_from_file_location(name, so_file)
            module = importlib.util.module_from_spec(spec)
            sys.modules[name] = module
            spec.loader.exec_module(module)
            assert module.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX")), module.__file__
            modules[name] = module
    return version, modules
