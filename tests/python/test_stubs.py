"""The type stubs installed with the package: each names exactly what its module defines, with the
module's own signatures, and `mypy --strict` accepts the examples and a file that uses every
public name (tests/typing/public_api.py), which also runs."""

import ast
import enum
import importlib
import inspect
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).parents[2]
PUBLIC_API = ROOT / "tests" / "typing" / "public_api.py"
MODULES = ["orvel.tandem.tandem", "orvel.utils.vigil.vigil", "orvel.scribo.scribo", "orvel.scribo",
           "orvel.utils.portage.portage"]


def stub_of(module):
    """The parsed stub installed beside the module."""
    path = pathlib.Path(module.__file__)
    name = "__init__" if path.stem == "__init__" else module.__name__.rpartition(".")[2]
    return ast.parse(path.with_name(name + ".pyi").read_text())


def stub_names(body) -> dict[str, ast.AST]:
    """The public names a stub body defines; `from m import x as x` re-exports x."""
    names: dict[str, ast.AST] = {}
    for node in body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            names.update((target.id, node) for target in node.targets)
        elif isinstance(node, ast.ImportFrom):
            names.update((alias.name, node) for alias in node.names if alias.asname == alias.name)
    return {name: node for name, node in names.items() if not name.startswith("_")}


def module_names(module) -> set[str]:
    """The public names the module defines: not modules, nor classes or functions it imported."""
    if hasattr(module, "__all__"):
        return set(module.__all__)
    return {name for name, value in vars(module).items()
            if not name.startswith("_") and not inspect.ismodule(value)
            and not ((inspect.isclass(value) or callable(value)) and value.__module__ != module.__name__)}


def class_names(cls) -> set[str]:
    members = cls.__members__ if hasattr(cls, "__members__") else vars(cls)
    return {name for name in members if not name.startswith("_")}


def stub_classes():
    for module_name in MODULES:
        module = importlib.import_module(module_name)
        for node in stub_of(module).body:
            if isinstance(node, ast.ClassDef):
                yield pytest.param(getattr(module, node.name), node, id=f"{module_name}.{node.name}")


def parameters(arguments: ast.arguments) -> list[tuple[str, str | None]]:
    """(name, default source) of each parameter after self; *args as '*args'."""
    positional = arguments.posonlyargs + arguments.args
    defaults = [None] * (len(positional) - len(arguments.defaults)) + arguments.defaults
    listed = [(arg.arg, default and ast.unparse(default)) for arg, default in zip(positional, defaults)]
    if arguments.vararg:
        listed.append(("*" + arguments.vararg.arg, None))
    return [item for item in listed if item[0] not in ("self", "cls")]


def runtime_parameters(function) -> list[tuple[str, str | None]]:
    listed = []
    for parameter in inspect.signature(function).parameters.values():
        stars = "*" if parameter.kind is parameter.VAR_POSITIONAL else ""
        default = None if parameter.default is parameter.empty else repr(parameter.default)
        listed.append((stars + parameter.name, default))
    return [item for item in listed if item[0] != "self"]


def documented_parameters(cls) -> list[tuple[str, str | None]]:
    """The constructor's parameters as its docstring gives them: 'Tandem(size_t slot_size, ...)'."""
    text = cls.__doc__.splitlines()[0]
    declared = text[text.index("(") + 1:text.rindex(")")]
    untyped = ", ".join(part.split(" ", 1)[-1] if " " in part.split("=")[0] else part
                        for part in declared.split(", ") if part)
    return parameters(ast.parse(f"def f({untyped}): pass").body[0].args)


@pytest.mark.parametrize("module_name", MODULES)
def test_a_stub_names_what_its_module_defines(module_name):
    module = importlib.import_module(module_name)
    assert set(stub_names(stub_of(module).body)) == module_names(module)


@pytest.mark.parametrize("cls, stub", list(stub_classes()))
def test_a_stub_class_names_its_members_with_their_signatures(cls, stub):
    members = stub_names(stub.body)
    assert set(members) == class_names(cls)
    init = next((node for node in stub.body if getattr(node, "name", None) in ("__init__", "__new__")), None)
    stub_init = parameters(init.args) if init else []
    if (cls.__doc__ or "").startswith(cls.__name__ + "("):
        assert stub_init == documented_parameters(cls)
        assert [name for name, _ in runtime_parameters(cls)] == [name for name, _ in stub_init]  # inspect's
    elif "__init__" in vars(cls):
        assert stub_init == runtime_parameters(cls.__init__)
    else:
        assert init is None
    for name, node in members.items():
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)) and not node.decorator_list:
            assert parameters(node.args) == runtime_parameters(getattr(cls, name)), name
            assert isinstance(node, ast.AsyncFunctionDef) == inspect.iscoroutinefunction(getattr(cls, name)), name


# The protocol methods help() lists for a class, beside its public names.
PROTOCOL_METHODS = ("__init__", "__enter__", "__exit__", "__aenter__", "__aexit__", "__aiter__", "__anext__")


@pytest.mark.parametrize("cls, stub", list(stub_classes()))
def test_help_describes_every_member_of_a_class(cls, stub):
    names = [name for name in vars(cls) if not name.startswith("_") or name in PROTOCOL_METHODS]
    undocumented = [name for name in names
                    if not isinstance(vars(cls)[name], cls) and not (getattr(cls, name).__doc__ or "").strip()]
    assert undocumented == []


@pytest.mark.parametrize("cls, stub", [param for param in stub_classes() if not issubclass(param.values[0], enum.Enum)])
def test_inspect_shows_each_constructor_with_python_types(cls, stub):
    untyped = [parameter.name for parameter in inspect.signature(cls).parameters.values()
               if parameter.annotation is parameter.empty]
    assert untyped == []


def test_stub_functions_have_the_module_signatures():
    module = importlib.import_module("orvel.utils.portage.portage")
    for name, node in stub_names(stub_of(module).body).items():
        if isinstance(node, ast.FunctionDef):
            assert parameters(node.args) == runtime_parameters(getattr(module, name)), name


def test_the_public_api_file_uses_every_public_name():
    used = set()
    for node in ast.walk(ast.parse(PUBLIC_API.read_text())):
        if isinstance(node, ast.Name):
            used.add(node.id)
        elif isinstance(node, ast.Attribute):
            used.add(node.attr)
        elif isinstance(node, ast.alias):
            used.add(node.name)
    stubbed = set()
    for module_name in MODULES:
        for name, node in stub_names(stub_of(importlib.import_module(module_name)).body).items():
            stubbed.add(name)
            if isinstance(node, ast.ClassDef):
                stubbed.update(stub_names(node.body))
    assert stubbed - used == set()


def test_mypy_strict_accepts_the_examples_and_the_public_api(tmp_path):
    # Run elsewhere, so that mypy finds the stubs the package installed, not the source tree's.
    files = sorted(str(path) for path in (ROOT / "examples").glob("*.py")) + [str(PUBLIC_API)]
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--config-file", str(ROOT / "pyproject.toml"),
         "--cache-dir", str(tmp_path / "cache"), *files],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_public_api_file_runs(run_child):
    child = run_child(PUBLIC_API.read_text())
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines()[-1] == "every public name used"
