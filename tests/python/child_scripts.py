"""Source fragments for child interpreters that several test modules share."""

# Defines run_in_subinterpreter(source): runs source in a new interpreter that shares the main
# one's interpreter lock, and returns what it raised as "<class 'ImportError'>: message", or None.
# Python 3.13 renamed the module, calls the shared-lock configuration "legacy", and returns a
# summary of the error where 3.12 raised one.
SUBINTERPRETERS = """
try:
    import _interpreters as interpreters
except ModuleNotFoundError:
    import _xxsubinterpreters as interpreters

def run_in_subinterpreter(source):
    if hasattr(interpreters, "RunFailedError"):
        sub = interpreters.create(isolated=False)
        try:
            interpreters.run_string(sub, source)
        except interpreters.RunFailedError as error:
            return str(error)
        finally:
            interpreters.destroy(sub)
        return None
    sub = interpreters.create("legacy")
    error = interpreters.run_string(sub, source)
    interpreters.destroy(sub)
    return None if error is None else f"<class '{error.type.__name__}'>: {error.msg}"
"""


def initialise_again(module: str, short: str) -> str:
    """Imports `module`, then tries to initialise it once more in this interpreter (printing
    "SECOND <error>") and once in a second interpreter (printing "SUBINTERPRETER <error>")."""
    return SUBINTERPRETERS + f"""
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
print("SUBINTERPRETER", run_in_subinterpreter("import {module}"))
"""
