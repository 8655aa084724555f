"""The native interface for other extension modules, and what importing the module does."""

import ctypes
import threading

import pytest

from child_scripts import SUBINTERPRETERS
from orvel.scribo import scribo

CAPSULE_NAMES = {
    "get_logger_by_name": "SpdLogger (char const *)",
    "get_logger_ptr": "std::shared_ptr<spdlog::logger>  &(struct __pyx_opt_args_5orvel_6scribo_6scribo_get_logger_ptr"
                      " *__pyx_optional_args)",
    "get_logger": "void (SpdLogger &, struct __pyx_opt_args_5orvel_6scribo_6scribo_get_logger *__pyx_optional_args)",
}


def test_capsule_names_are_the_signatures():
    name = ctypes.pythonapi.PyCapsule_GetName  # typed by native_tables
    assert {key: name(capsule).decode() for key, capsule in scribo.__pyx_capi__.items()} == CAPSULE_NAMES
    for cls in (scribo.Logger, scribo.DefaultLogger):
        assert name(cls.__pyx_vtable__) is None  # a bare table address


def test_get_logger_ptr_returns_a_reference_that_outlives_the_call(native):
    held = native.get_logger_ptr(None)  # a null block: the default logger
    default = native.shared_ptr_target(held)
    assert default is not None
    out = (ctypes.c_void_p * 2)()  # an empty SpdLogger
    native.get_logger(ctypes.addressof(out), None)
    assert out[0] == default
    # A name nobody registered gives the default as well; the storage is the calling thread's.
    assert native.get_logger_ptr(native.NameArgs(1, "nobody", 0)) == held
    other = []

    def in_thread():  # read before the thread ends: its storage ends with it
        address = native.get_logger_ptr(native.NameArgs(2, "", 1))
        other.extend([address, native.shared_ptr_target(address)])

    thread = threading.Thread(target=in_thread)
    thread.start()
    thread.join()
    assert other[0] != held and other[1] == default == native.shared_ptr_target(held)


def test_failures_are_reported_through_the_exception_state(native):
    held = native.get_logger_ptr(None)
    with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'encode'$"):
        native.get_logger_ptr(native.NameArgs(1, None, 0))
    assert native.shared_ptr_target(held) is None  # an empty pointer
    out = (ctypes.c_void_p * 2)()
    native.get_logger(ctypes.addressof(out), None)
    before = out[0]
    for name, error in ((None, AttributeError), ("\ud800", UnicodeEncodeError)):
        with pytest.raises(error):
            native.get_logger(ctypes.addressof(out), native.NameArgs(1, name, 0))
        assert out[0] == before  # left as it was


def test_importing_the_module(run_child):
    child = run_child(SUBINTERPRETERS + """
import ctypes, logging, traceback, types
root = logging.getLogger()
before = (list(root.handlers), root.level)
import orvel.scribo
from orvel.scribo import scribo
assert (list(root.handlers), root.level) == before
assert scribo.py_logging is logging and scribo.traceback is traceback and not hasattr(scribo, "redirect_pylog")
assert "DefaultLogger" in orvel.scribo.__all__
assert all(getattr(orvel.scribo, name) is getattr(scribo, name) for name in orvel.scribo.__all__)
definition = ctypes.PyDLL(scribo.__file__).PyInit_scribo
definition.restype = ctypes.c_void_p
ctypes.pythonapi.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
try:
    ctypes.pythonapi.PyModule_ExecDef(types.ModuleType("again"), definition())
except RuntimeError as error:
    print(error)
print(run_in_subinterpreter("import orvel.scribo.scribo"))
""")
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [
        "Module 'scribo' has already been imported. Re-initialisation is not supported.",
        "<class 'ImportError'>: Interpreter change detected - this module can only be loaded into one interpreter"
        " per process.",
    ]
    assert child.stderr == ""
