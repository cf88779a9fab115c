"""The package's stub: every entry documented, and the typed usage file true at run time."""

import ast
from pathlib import Path

import pytest

import typing_usage
import wrenmark

STUB = Path(wrenmark.__file__).with_name("__init__.pyi")


def stub_entries():
    """(qualified name, has a docstring) for every class, function and class attribute of the stub."""
    entries = []

    def visit(body, prefix):
        for position, node in enumerate(body):
            if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
                entries.append((prefix + node.name, ast.get_docstring(node) is not None))
                if isinstance(node, ast.ClassDef):
                    visit(node.body, prefix + node.name + ".")
            elif isinstance(node, ast.AnnAssign) and prefix:
                following = body[position + 1] if position + 1 < len(body) else None
                documented = isinstance(following, ast.Expr) and isinstance(following.value, ast.Constant)
                entries.append((prefix + node.target.id, documented))

    visit(ast.parse(STUB.read_text()).body, "")
    return entries


def test_the_package_ships_its_stub_and_marker():
    assert STUB.is_file()
    assert STUB.with_name("py.typed").is_file()


@pytest.mark.parametrize("name, documented", stub_entries(), ids=lambda value: str(value))
def test_every_stub_entry_has_a_docstring(name, documented):
    assert documented, f"{name} has no docstring in the stub"


@pytest.mark.parametrize("name", wrenmark.__all__)
def test_every_public_class_is_in_the_stub(name):
    assert name in {entry for entry, _ in stub_entries()}


def test_the_typed_usage_runs(tmp_path):
    typing_usage.use_every_part(tmp_path)
