"""The package around the compiled extension: what `import wrenmark` loads and where it comes from."""

import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import wrenmark

REPO_ROOT = Path(__file__).resolve().parents[1]


def modules_loaded_by(statement):
    """The wrenmark modules present after `statement` runs in a fresh interpreter."""
    program = f"import sys; {statement}; print(sorted(m for m in sys.modules if m.split('.')[0] == 'wrenmark'))"
    output = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, check=True, cwd=REPO_ROOT)
    return eval(output.stdout)  # noqa: S307 - a list of names printed by the child above


@pytest.mark.parametrize(
    "statement, modules",
    [
        ("import wrenmark", ["wrenmark", "wrenmark.wrenmark"]),
        ("from wrenmark import BpeTokenizer", ["wrenmark", "wrenmark.wrenmark"]),
        ("import wrenmark.wrenmark", ["wrenmark", "wrenmark.wrenmark"]),
    ],
)
def test_import_loads_only_the_package_and_its_extension(statement, modules):
    assert modules_loaded_by(statement) == modules


def test_the_tests_run_against_the_installed_package():
    package_dir = Path(wrenmark.__file__).resolve().parent
    assert package_dir == (Path(sysconfig.get_paths()["platlib"]) / "wrenmark").resolve()
    assert Path(sys.modules["wrenmark.wrenmark"].__file__).resolve().parent == package_dir


@pytest.mark.parametrize("name", wrenmark.__all__)
def test_the_package_reexports_the_extensions_classes(name):
    assert getattr(wrenmark, name) is getattr(sys.modules["wrenmark.wrenmark"], name)


def test_the_extension_is_not_a_public_name_of_the_package():
    assert "wrenmark" not in vars(wrenmark)
    assert "wrenmark" not in dir(wrenmark)
