"""The build rule that every file including simdjson is compiled with NDEBUG: the include scan
that CMakeLists.txt gives NDEBUG by (cmake/simdjson_sources.cmake), and the stand-in header that
makes the compiler refuse a file that reaches simdjson without it (cmake/simdjson_check)."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[1]
CMAKE = shutil.which("cmake", path=str(Path(sys.executable).parent)) or shutil.which("cmake")
COMPILER = shutil.which("c++") or shutil.which("g++")

# Headers under the include root that the sources below reach.
HEADERS = {
    "lib/json.hpp": "#pragma once\n#include <simdjson.h>\n",
    "lib/reader.hpp": '#pragma once\n#include <string>\n#include "lib/json.hpp"\n',
    "lib/beside.hpp": '#pragma once\n#include "json.hpp"\n',
    "lib/plain.hpp": "#pragma once\n#include <vector>\n",
    "lib/cycle_a.hpp": '#pragma once\n#include "lib/cycle_b.hpp"\n',
    "lib/cycle_b.hpp": '#pragma once\n#include "lib/cycle_a.hpp"\n#include "lib/plain.hpp"\n',
}

# (source under lib/, its text, whether it includes simdjson)
SOURCES = [
    ("direct_quoted.cpp", '#include "simdjson.h"\n', True),
    ("direct_spaced.cpp", "#  include   <simdjson.h>\n", True),
    ("through_headers.cpp", '#include <vector>\n#include "lib/reader.hpp"\n', True),
    ("through_a_header_beside.cpp", '#include "beside.hpp"\n', True),
    ("standard_only.cpp", "#include <vector>\n#include <string>\n", False),
    ("plain_header.cpp", '#include "lib/plain.hpp"\n', False),
    ("commented_out.cpp", "// #include <simdjson.h>\nint x;\n", False),
    ("missing_header.cpp", '#include "lib/simdjson_notes.hpp"\n', False),
    ("include_cycle.cpp", '#include "lib/cycle_a.hpp"\n', False),
]


@pytest.fixture(scope="module")
def files_found_including_simdjson(tmp_path_factory):
    if CMAKE is None:
        pytest.skip("cmake is not installed")
    root = tmp_path_factory.mktemp("scan") / "src"
    for name, text in HEADERS.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    for name, text, _ in SOURCES:
        (root / "lib" / name).write_text(text)
    driver = root.parent / "scan.cmake"
    driver.write_text(f'include("{REPO_ROOT / "cmake" / "simdjson_sources.cmake"}")\n'
                      f'file(GLOB sources "{root}/lib/*.cpp")\n'
                      f'wrenmark_files_including_simdjson(found "{root}" ${{sources}})\n'
                      'foreach(file IN LISTS found)\n  message(STATUS "found ${file}")\nendforeach()\n')
    run = subprocess.run([CMAKE, "-P", str(driver)], capture_output=True, text=True, check=True)
    return {Path(line.removeprefix("-- found ")).name for line in run.stdout.splitlines()}


@pytest.mark.parametrize("name, text, includes_simdjson", SOURCES, ids=[name for name, _, _ in SOURCES])
def test_the_scan_finds_every_file_that_includes_simdjson(files_found_including_simdjson, name, text,
                                                           includes_simdjson):
    assert (name in files_found_including_simdjson) == includes_simdjson


@pytest.mark.skipif(COMPILER is None, reason="no C++ compiler")
@pytest.mark.parametrize("defines, accepted", [([], False), (["-DNDEBUG"], True)])
def test_the_compiler_refuses_simdjson_without_ndebug(tmp_path, defines, accepted):
    source = tmp_path / "uses_simdjson.cpp"
    source.write_text('#include "simdjson.h"\n')
    run = subprocess.run([COMPILER, "-std=c++20", "-E", "-o", "/dev/null", *defines,
                          "-I", str(REPO_ROOT / "cmake" / "simdjson_check"), str(source)],
                         capture_output=True, text=True)
    assert (run.returncode == 0) == accepted, run.stderr
    if not accepted:
        assert "includes simdjson without NDEBUG" in run.stderr
