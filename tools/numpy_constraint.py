"""Prints the pip constraint that keeps the installed NumPy, when the package supports it, so that
installing the test requirements never upgrades it; prints nothing otherwise."""

import pathlib
import sys

from packaging.requirements import Requirement
from packaging.version import Version

if sys.version_info >= (3, 11):
    import tomllib
else:
    import tomli as tomllib


def main():
    try:
        import numpy
    except ImportError:
        return
    pyproject = pathlib.Path(__file__).resolve().parents[1] / "pyproject.toml"
    dependencies = tomllib.loads(pyproject.read_text())["project"]["dependencies"]
    supported = next(Requirement(d) for d in dependencies if Requirement(d).name == "numpy")
    if Version(numpy.__version__) in supported.specifier:
        print(f"numpy=={numpy.__version__}")


main()
