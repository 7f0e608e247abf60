"""The package's top level and the native stubs."""

import ast
import importlib.metadata
import inspect
from pathlib import Path

import pytest

import gridweave as gw
from gridweave import _core
from gridweave.config import make_config
from gridweave.driver import evolve

STUBS = Path(gw.__file__).with_name("_core.pyi")


def test_top_level_names():
    assert gw.evolve is evolve and gw.make_config is make_config
    assert gw.__version__ == importlib.metadata.version("gridweave")
    assert str(inspect.signature(gw.Population)) == "(config, start_genome=None)"


def stub_definitions():
    """(name, has a docstring) of every class, function and method of the stubs."""
    tree = ast.parse(STUBS.read_text())
    for node in ast.walk(tree):
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and node.name != "__init__":
            yield node.name, ast.get_docstring(node) is not None


@pytest.mark.parametrize("name, documented", list(stub_definitions()))
def test_every_stub_has_a_docstring(name, documented):
    assert documented, name


def test_stubs_cover_the_native_module():
    stubbed = {name for name, _ in stub_definitions()}
    native = {name for name in dir(_core) if not name.startswith("__")}
    assert native <= stubbed
