"""orvel's CMake package and include folder, as a downstream build finds them in the installed
package: a source build's here, and scripts/test-downstream runs this file again in fresh
environments holding the wheel and the source distribution."""

import pathlib
import re
import subprocess
import sys
import sysconfig

import pytest

import orvel

SOURCE_TREE = pathlib.Path(__file__).resolve().parents[2]
PACKAGE = pathlib.Path(orvel.__file__).parent
BUNDLED = PACKAGE / "include" / "bundled"
BUILD_TIMEOUT = 600

# One module per target: orvel::native alone, and orvel::logging logging through orvel's logger.
PROJECT = """\
cmake_minimum_required(VERSION 3.25)
project(downstream LANGUAGES CXX)
find_package(Python 3.12 REQUIRED COMPONENTS Interpreter Development.Module)
find_package(orvel CONFIG REQUIRED)
python_add_library(with_native MODULE WITH_SOABI with_native.cpp)
target_link_libraries(with_native PRIVATE orvel::native)
python_add_library(with_logging MODULE WITH_SOABI with_logging.cpp)
target_link_libraries(with_logging PRIVATE orvel::logging)
"""

MODULE = """\
#include <Python.h>
{includes}

namespace {{
PyObject* call(PyObject*, PyObject* text) {{
  {body}
}}
PyMethodDef methods[] = {{{{"call", call, METH_O, nullptr}}, {{nullptr, nullptr, 0, nullptr}}}};
PyModuleDef module_def = {{PyModuleDef_HEAD_INIT, "{name}", nullptr, -1, methods}};
}}  // namespace

PyMODINIT_FUNC PyInit_{name}() {{
  if (orvel::native::{import_function}() < 0) return nullptr;
  return PyModule_Create(&module_def);
}}
"""

NATIVE_BODY = """\
orvel::native::Queue queue = orvel::native::Queue::of(text);
  if (!queue) return nullptr;
  return PyLong_FromLong(queue.try_push("abc", 3));"""

LOGGING_BODY = """\
std::shared_ptr<spdlog::logger> log = orvel::native::logger("downstream");
  if (!log) return nullptr;
  log->info("{} from spdlog {}.{}", PyUnicode_AsUTF8(text), SPDLOG_VER_MAJOR, SPDLOG_VER_MINOR);
  Py_RETURN_NONE;"""


def run(command, cwd=None):
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=BUILD_TIMEOUT)


def build_project(source, build):
    """Configures and builds the CMake project in `source` against the installed orvel."""
    configured = run(["cmake", "-S", source, "-B", build, f"-DPython_EXECUTABLE={sys.executable}",
                      f"-Dorvel_DIR={orvel.get_cmake_dir()}", "-DCMAKE_BUILD_TYPE=Release"])
    assert configured.returncode == 0, configured.stdout + configured.stderr
    built = run(["cmake", "--build", build, "-j2"])
    assert built.returncode == 0, built.stdout + built.stderr


@pytest.mark.parametrize("option, expected", [
    ("--includedir", orvel.get_include()),
    ("--cmakedir", orvel.get_cmake_dir()),
])
def test_python_m_orvel_prints_the_directories(option, expected):
    printed = run([sys.executable, "-I", "-m", "orvel", option])
    assert printed.returncode == 0, printed.stderr
    assert printed.stdout == expected + "\n"
    assert pathlib.Path(expected).is_relative_to(PACKAGE)


def test_python_m_orvel_wants_one_option():
    assert run([sys.executable, "-I", "-m", "orvel"]).returncode == 2


def test_the_directories_are_the_built_packages_when_the_python_files_are_elsewhere(run_child, tmp_path):
    # As an editable install lays it out: the Python files in the source tree, what CMake built
    # (the modules, the headers, the CMake package) in site-packages.
    child = run_child(f"""\
import importlib.util, pathlib, shutil, sys
installed = pathlib.Path(importlib.util.find_spec("orvel").origin).parent
source = pathlib.Path({str(tmp_path)!r}) / "orvel"
(source / "include" / "orvel").mkdir(parents=True)  # a source tree holds some headers too
for name in ("__init__.py", "__main__.py", "_signatures.py"):
    shutil.copy(installed / name, source)
spec = importlib.util.spec_from_file_location("orvel", source / "__init__.py",
                                              submodule_search_locations=[str(source), str(installed)])
orvel = sys.modules["orvel"] = importlib.util.module_from_spec(spec)
spec.loader.exec_module(orvel)
print(orvel.__file__, orvel.get_include(), orvel.get_cmake_dir(), installed)
""")
    assert child.returncode == 0, child.stderr
    init, include, cmake_dir, installed = child.stdout.split()
    assert init == str(tmp_path / "orvel" / "__init__.py")
    assert (include, cmake_dir) == (f"{installed}/include", f"{installed}/share/cmake/orvel")


def test_importing_the_command_line_module_runs_nothing():
    # As documentation and API tools import every module of a package, with arguments of their own.
    imported = run([sys.executable, "-I", "-c", "import sys; sys.argv[1:] = ['--bogus']; import orvel.__main__; "
                    "print(orvel.__main__.__doc__.partition(':')[0])"])
    assert (imported.returncode, imported.stdout, imported.stderr) == (0, "python -m orvel --includedir | --cmakedir\n", "")


def test_the_include_folder_holds_headers_only():
    include = pathlib.Path(orvel.get_include())
    files = [path.relative_to(include) for path in include.rglob("*") if path.is_file()]
    assert {path.parts[0] for path in files} <= {"orvel", "scribo", "bundled"}
    assert {path.suffix for path in files} <= {".hpp", ".h"}
    for header in ("orvel/native.hpp", "orvel/native_logging.hpp", "orvel/tandem/tandem_core.hpp",
                   "scribo/spd_logger.hpp"):
        assert (include / header).is_file(), header


def test_the_package_carries_spdlog_headers_exactly_when_it_carries_the_libraries():
    libraries = sorted(path.name.split("-")[0] for path in (PACKAGE.parent / "orvel.libs").glob("lib*"))
    if BUNDLED.exists():
        assert {"libspdlog", "libfmt"} <= set(libraries)
        assert sorted(path.name for path in BUNDLED.iterdir()) == ["fmt", "spdlog"]
    else:
        assert "libspdlog" not in libraries


@pytest.mark.not_emulated("compilers")
def test_a_project_builds_against_both_targets_in_a_fresh_build_folder(tmp_path, run_child):
    source, build = tmp_path / "source", tmp_path / "build"
    source.mkdir()
    (source / "CMakeLists.txt").write_text(PROJECT)
    (source / "with_native.cpp").write_text(MODULE.format(
        includes="#include <orvel/native.hpp>", name="with_native", import_function="import_bridge", body=NATIVE_BODY))
    (source / "with_logging.cpp").write_text(MODULE.format(
        includes="#include <orvel/native_logging.hpp>\n#include <spdlog/version.h>", name="with_logging", import_function="import_logging", body=LOGGING_BODY))

    build_project(source, build)

    log_path = tmp_path / "downstream.log"
    child = run_child(f"""\
import sys
sys.path.insert(0, {str(build)!r})
import with_logging, with_native
from orvel.scribo import FileHandler, Level, Logger, StderrHandler
from orvel.tandem.tandem import Tandem
print(with_native.call(Tandem(16, 4)))
log = Logger("downstream", handlers=[FileHandler({str(log_path)!r}, pattern="%n|%v")], set_default=True)
with_logging.call("hello")
Logger("quiet", Level.OFF, handlers=[StderrHandler()], set_default=True)
del log
""")
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines()[-1] == "1"
    # Compiled against the wheel's spdlog headers, or a source build's: the system's.
    spdlog = version_of(BUNDLED if BUNDLED.exists() else pathlib.Path("/usr/include"))
    assert log_path.read_text().splitlines() == [f"downstream|hello from spdlog {spdlog}"]


CYTHON_MODULE = """\
from orvel.scribo.scribo cimport Logger, get_logger_ptr
from orvel.tandem.tandem cimport Tandem


def relay(Tandem queue, bytes record, Logger log):
    cdef void* data
    cdef size_t length
    if queue.try_push(<const char*>record, len(record)) != 1 or queue.try_pop(&data, &length) != 1:
        return None
    log.info((<const char*>data)[:length].decode())
    return get_logger_ptr("").get().name().decode()
"""


@pytest.mark.not_emulated("compilers")
def test_the_guides_cython_project_builds_a_logging_module(tmp_path, run_child):
    guide = (SOURCE_TREE / "docs" / "native.md").read_text()
    [project] = [block for block in re.findall(r"^```cmake\n(.*?)^```$", guide, re.S | re.M) if "cython" in block]
    source, build = tmp_path / "source", tmp_path / "build"
    source.mkdir()
    (source / "CMakeLists.txt").write_text(project)
    (source / "mine.pyx").write_text(CYTHON_MODULE)

    build_project(source, build)

    log_path = tmp_path / "cython.log"
    child = run_child(f"""\
import sys
sys.path.insert(0, {str(build)!r})
import mine
from orvel.scribo import FileHandler, Level, Logger, StderrHandler
from orvel.tandem.tandem import Tandem
queue = Tandem(16, 4)  # before the logger: the signal watcher's messages stay out of its file
log = Logger("cython", handlers=[FileHandler({str(log_path)!r}, pattern="%n|%v")], set_default=True)
print(mine.relay(queue, b"relayed", log))
Logger("quiet", Level.OFF, handlers=[StderrHandler()], set_default=True)
del log
""")
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines()[-1] == "cython"
    assert log_path.read_text().splitlines() == ["cython|relayed"]


# A user's types holding the handles, compiled as strictly as a module may be.
HOLDERS = """\
#include <{header}>

struct Feed {{
  orvel::native::Producer producer;
  orvel::native::Queue queue;
  orvel::native::PipeReader reader;
  orvel::native::Api api;
}};
class QueueOfMine : public orvel::native::Queue {{}};
"""


@pytest.mark.not_emulated("compilers")
@pytest.mark.parametrize("header", ["orvel/native.hpp", "orvel/native_logging.hpp"])
def test_a_public_header_compiles_alone_into_a_users_types(tmp_path, header):
    source = tmp_path / "holders.cpp"
    source.write_text(HOLDERS.format(header=header))
    include = pathlib.Path(orvel.get_include())
    system = [include / "bundled"] if BUNDLED.exists() else []
    compiled = run(["g++", "-std=c++20", "-fsyntax-only", "-Wall", "-Wextra", "-Wpedantic", "-Wshadow", "-Wconversion",
                    "-Werror", f"-I{include}", *(f"-isystem{path}" for path in [*system, sysconfig.get_path("include")]),
                    "-DSPDLOG_COMPILED_LIB", "-DSPDLOG_SHARED_LIB", "-DSPDLOG_FMT_EXTERNAL", "-DFMT_SHARED", source])
    assert compiled.returncode == 0, compiled.stderr


# Two modules built against headers of different releases: the stale one expects a larger Tandem.
TWO_RELEASES = """\
cmake_minimum_required(VERSION 3.25)
project(releases LANGUAGES CXX)
find_package(Python 3.12 REQUIRED COMPONENTS Interpreter Development.Module)
find_package(orvel CONFIG REQUIRED)
foreach(name current stale)
  python_add_library(${name} MODULE WITH_SOABI ${name}.cpp)
  target_link_libraries(${name} PRIVATE orvel::native)
endforeach()
target_include_directories(stale BEFORE PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/stale_include)
"""


@pytest.mark.not_emulated("compilers")
@pytest.mark.parametrize("imports", [["stale"], ["current", "stale"]], ids=["alone", "after another module"])
def test_a_module_built_against_another_release_is_refused_at_import(tmp_path, run_child, imports):
    source, build = tmp_path / "source", tmp_path / "build"
    stale_header = source / "stale_include" / "orvel" / "native.hpp"
    stale_header.parent.mkdir(parents=True)
    header = (pathlib.Path(orvel.get_include()) / "orvel" / "native.hpp").read_text()
    assert header.count("  tandem::TandemCore core;\n") == 1
    stale_header.write_text(header.replace("  tandem::TandemCore core;\n",
                                           "  tandem::TandemCore core;\n  char added_in_another_release[64];\n"))
    (source / "CMakeLists.txt").write_text(TWO_RELEASES)
    for name in ("current", "stale"):
        (source / f"{name}.cpp").write_text(MODULE.format(
            includes="#include <orvel/native.hpp>", name=name, import_function="import_bridge", body=NATIVE_BODY))

    build_project(source, build)

    child = run_child(f"""\
import importlib, sys
sys.path.insert(0, {str(build)!r})
for name in {imports!r}:
    try:
        importlib.import_module(name)
        print(name, "imported")
    except ImportError as error:
        print(name, error)
""")
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines()[-1].startswith("stale orvel.tandem.tandem.Tandem instances are ")
    assert "bytes, this header expects" in child.stdout.splitlines()[-1]


def version_of(include):
    lines = (include / "spdlog" / "version.h").read_text().splitlines()
    parts = {line.split()[1]: line.split()[2] for line in lines if line.startswith("#define SPDLOG_VER_")}
    return f"{parts['SPDLOG_VER_MAJOR']}.{parts['SPDLOG_VER_MINOR']}"


CHECK = """\
include({cmake_dir}/OrvelBundledVersions.cmake)
orvel_check_bundled_versions(mismatch "{include}" "{spdlog}" "{fmt}")
if(mismatch)
  message(FATAL_ERROR "${{mismatch}}")
endif()
"""


@pytest.mark.parametrize("spdlog_header, fmt_header, libraries, expected", [
    ((1, 10, 0), ("core.h", 90100), ("1.10.0", "9.1.0"), None),
    ((1, 10, 0), ("base.h", 110002), ("1.10.0", "11.0.2"), None),
    ((1, 11, 0), ("core.h", 90100), ("1.10.0", "9.1.0"),
     "spdlog: the headers in {include} are version 1.11.0, the library {libs}/libspdlog-0123abcd.so.1.10.0 "
     "is version 1.10.0."),
    ((1, 10, 0), ("core.h", 100201), ("1.10.0", "9.1.0"),
     "fmt: the headers in {include} are version 10.2.1, the library {libs}/libfmt-4567cdef.so.9.1.0 "
     "is version 9.1.0."),
    (None, ("core.h", 90100), ("1.10.0", "9.1.0"),
     "spdlog: the headers in {include} are version none (no {include}/spdlog/version.h)"),
    ((1, 10, 0), ("core.h", 90100), ("1.10", "9.1.0"),
     "does not end in .so.<major>.<minor>.<patch>"),
], ids=["agreeing", "agreeing, fmt 11 layout", "spdlog headers of another version",
        "fmt headers of another version", "no spdlog headers", "library without a full version"])
def test_the_version_check_refuses_headers_that_do_not_match_the_libraries(
        tmp_path, spdlog_header, fmt_header, libraries, expected):
    include, libs = tmp_path / "include", tmp_path / "orvel.libs"
    spdlog, fmt = fake_bundle(include, libs, spdlog_header, fmt_header, libraries)
    script = tmp_path / "check.cmake"
    script.write_text(CHECK.format(cmake_dir=orvel.get_cmake_dir(), include=include, spdlog=spdlog, fmt=fmt))

    checked = run(["cmake", "-P", script])
    if expected is None:
        assert checked.returncode == 0, checked.stderr
    else:
        assert checked.returncode != 0
        assert expected.format(include=include, libs=libs) in " ".join(checked.stderr.split())


def fake_bundle(include, libs, spdlog_header, fmt_header, libraries):
    """Header folders declaring the given versions, and empty library files named as auditwheel
    names its copies (none for a version of None)."""
    (include / "fmt").mkdir(parents=True)
    libs.mkdir(parents=True)
    if spdlog_header:
        (include / "spdlog").mkdir()
        (include / "spdlog" / "version.h").write_text("#pragma once\n\n" + "".join(
            f"#define SPDLOG_VER_{part} {number}\n" for part, number in zip(("MAJOR", "MINOR", "PATCH"), spdlog_header)))
    fmt_file, fmt_number = fmt_header
    (include / "fmt" / fmt_file).write_text(f"// fmt\n#define FMT_VERSION {fmt_number}  // the version\n")
    spdlog, fmt = libs / f"libspdlog-0123abcd.so.{libraries[0]}", libs / f"libfmt-4567cdef.so.{libraries[1]}"
    for library, version in zip((spdlog, fmt), libraries):
        if version:
            library.touch()
    return spdlog, fmt


@pytest.mark.parametrize("spdlog_header, libraries, expected", [
    ((1, 10, 0), ("1.10.0", "9.1.0"), None),
    ((1, 11, 0), ("1.10.0", "9.1.0"), "spdlog: the headers in {include} are version 1.11.0"),
    ((1, 10, 0), ("1.10.0", None), "expected one libspdlog-*.so.* and one libfmt-*.so.* in {libs}"),
], ids=["agreeing", "headers of another version", "not repaired"])
def test_a_wheels_package_refuses_bundled_headers_of_other_versions(tmp_path, spdlog_header, libraries, expected):
    # A wheel's layout around a copy of the installed package files, made to say it bundles.
    site = tmp_path / "site-packages"
    cmake_dir = site / "orvel" / "share" / "cmake" / "orvel"
    cmake_dir.mkdir(parents=True)
    for file in pathlib.Path(orvel.get_cmake_dir()).iterdir():
        text = file.read_text().replace("set(orvel_BUNDLES_SPDLOG OFF)", "set(orvel_BUNDLES_SPDLOG ON)")
        (cmake_dir / file.name).write_text(text)
    include, libs = site / "orvel" / "include" / "bundled", site / "orvel.libs"
    fake_bundle(include, libs, spdlog_header, ("core.h", 90100), libraries)
    source = tmp_path / "source"
    source.mkdir()
    (source / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.25)\nproject(downstream LANGUAGES CXX)\n"
        "find_package(orvel CONFIG REQUIRED)\nmessage(STATUS \"bundled: ${orvel_BUNDLES_SPDLOG}\")\n")

    configured = run(["cmake", "-S", source, "-B", tmp_path / "build", f"-Dorvel_DIR={cmake_dir}"])
    if expected is None:
        assert configured.returncode == 0, configured.stderr
        assert "-- bundled: ON" in configured.stdout
    else:
        assert configured.returncode != 0
        assert expected.format(include=include, libs=libs) in " ".join(configured.stderr.split())


@pytest.mark.parametrize("dependency, debian", [
    ("spdlog", "libspdlog-dev"),
    ("fmt", "libfmt-dev"),
    ("Boost", "libboost-dev libboost-system-dev"),
])
def test_a_missing_system_library_stops_the_source_build_naming_the_debian_package(tmp_path, dependency, debian):
    configured = run(["cmake", "-S", SOURCE_TREE, "-B", tmp_path, f"-DCMAKE_DISABLE_FIND_PACKAGE_{dependency}=ON",
                      f"-DPython_EXECUTABLE={sys.executable}"])
    assert configured.returncode != 0
    message = " ".join(configured.stderr.split())
    assert f"{dependency} not found: install Debian's {debian} (apt-get install {debian})" in message
