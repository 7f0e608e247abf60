"""The package's modules import one another without circles or private names."""

import ast
from pathlib import Path

PACKAGE = Path(__file__).parent.parent / "python" / "gridweave"
NATIVE = "_core"  # the native module: the one private name every layer may import


def _private(name):
    return name.startswith("_") and name != NATIVE and not (name.startswith("__") and name.endswith("__"))


def _imports():
    """(module, imported module, names) for every relative import, also inside functions."""
    for path in sorted(PACKAGE.glob("*.py")):
        module = path.stem
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.level == 1:
                names = [alias.name for alias in node.names]
                if node.module is None:  # from . import a, b
                    for name in names:
                        yield module, name, []
                else:
                    yield module, node.module, names


def test_no_module_imports_a_private_name_of_another():
    private = [(module, source, name) for module, source, names in _imports() for name in names
               if _private(name) and source != NATIVE]
    private += [(module, source, "") for module, source, _ in _imports() if _private(source)]
    assert private == []


def test_the_modules_import_one_another_without_a_circle():
    graph: dict[str, set[str]] = {}
    for module, source, _ in _imports():
        if module != "__init__" and (PACKAGE / f"{source}.py").exists():
            graph.setdefault(module, set()).add(source)
    state: dict[str, int] = {}  # 1: on the path, 2: done

    def visit(module, path):
        state[module] = 1
        for target in sorted(graph.get(module, ())):
            if state.get(target) == 1:
                raise AssertionError(" -> ".join([*path, module, target]))
            if target not in state:
                visit(target, [*path, module])
        state[module] = 2

    for module in sorted(graph):
        if module not in state:
            visit(module, [])
