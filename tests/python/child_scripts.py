"""Source fragments for child interpreters that several test modules share."""


def initialise_again(module: str, short: str) -> str:
    """Imports `module`, then tries to initialise it once more in this interpreter (printing
    "SECOND <error>") and once in a second interpreter (printing "SUBINTERPRETER <error>")."""
    return f"""
import ctypes, types
import {module} as module
# A second initialisation: the module's own definition executed on a fresh module object.
definition = getattr(ctypes.PyDLL(module.__file__), "PyInit_{short}")
definition.restype = ctypes.c_void_p
execute = ctypes.pythonapi.PyModule_ExecDef
execute.argtypes = [ctypes.py_object, ctypes.c_void_p]
try:
    execute(types.ModuleType(module.__name__), definition())
except RuntimeError as error:
    print("SECOND", error)
import _xxsubinterpreters as interpreters
try:
    interpreters.run_string(interpreters.create(isolated=False), "import {module}")
except interpreters.RunFailedError as error:
    print("SUBINTERPRETER", error)
"""
