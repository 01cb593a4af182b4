"""The stubs the wheel installs beside the module: they name exactly the module's methods, their
docstrings begin with the module's own, and the typed usage file runs against the module. The
types themselves are checked by stubtest, mypy and pyright (scripts/typecheck.sh)."""
import ast
import inspect
from pathlib import Path

import lumo
import typed_usage
from lumo import LumoSeq

STUB = Path(lumo.__file__).parent / "lumo-stubs" / "__init__.pyi"
PUBLIC = {name for name in vars(LumoSeq) if not name.startswith("_")}


def stub_docstrings():
    """Method name -> docstring in the stub's LumoSeq class (an overloaded method's first one)."""
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "LumoSeq")
    docs = {}
    for node in cls.body:
        if isinstance(node, ast.FunctionDef):
            docs.setdefault(node.name, ast.get_docstring(node))
    return docs


def test_stubs_beside_the_module_name_every_method():
    assert {name for name in stub_docstrings() if not name.startswith("_")} == PUBLIC


def test_stub_docstrings_begin_with_the_module_docstrings():
    docs = stub_docstrings()
    for name in sorted(PUBLIC | {"__class_getitem__", "__reduce__", "__copy__", "__deepcopy__"}):
        runtime = getattr(LumoSeq, name).__doc__
        assert docs[name], name
        if runtime is not None:  # group_by and flatten have no docstring of their own
            assert docs[name].startswith(runtime), name


def test_typed_usage_calls_every_method_and_runs():
    tree = ast.parse(inspect.getsource(typed_usage.exercise))
    called = {node.func.attr for node in ast.walk(tree)
              if isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute)}
    assert PUBLIC <= called, PUBLIC - called
    typed_usage.exercise()
