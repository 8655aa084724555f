"""orvel: lock-free slot queues, native-to-Python message bridges and coloured logging."""

import os as _os
from importlib import metadata as _metadata

__all__ = ["__version__", "get_cmake_dir", "get_include"]

__version__: str = _metadata.version("orvel")

_PACKAGE = _os.path.dirname(_os.path.abspath(__file__))


def get_include() -> str:
    """Returns the include directory of an extension module that uses orvel natively: the C++ headers
    <orvel/native.hpp> and <orvel/native_logging.hpp>, the headers the .pxd files name, and in a
    wheel the headers of the spdlog and fmt it carries, under bundled/. Cython finds the .pxd files
    themselves on sys.path."""
    return _os.path.join(_PACKAGE, "include")


def get_cmake_dir() -> str:
    """Returns the directory of orvelConfig.cmake, for find_package(orvel CONFIG) (orvel_DIR)."""
    return _os.path.join(_PACKAGE, "share", "cmake", "orvel")
