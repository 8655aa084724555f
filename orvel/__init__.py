"""orvel: lock-free slot queues, native-to-Python message bridges and coloured logging."""

import os as _os
from importlib import metadata as _metadata
from importlib import util as _util

__all__ = ["__version__", "get_cmake_dir", "get_include"]

__version__: str = _metadata.version("orvel")


def _built_package() -> str:
    """The folder that holds what the build made: the modules, the headers and the CMake package.
    The folder of the queue module's package, found without importing the module: an editable
    install leaves this file in the source tree and puts those in site-packages."""
    spec = _util.find_spec("orvel.tandem.tandem")
    if spec is None or spec.origin is None:
        return _os.path.dirname(_os.path.abspath(__file__))
    return _os.path.dirname(_os.path.dirname(_os.path.abspath(spec.origin)))


def get_include() -> str:
    """Returns the include directory of an extension module that uses orvel natively: the C++ headers
    <orvel/native.hpp> and <orvel/native_logging.hpp>, the headers the .pxd files name, and in a
    wheel the headers of the spdlog and fmt it carries, under bundled/. Cython finds the .pxd files
    themselves on sys.path."""
    return _os.path.join(_built_package(), "include")


def get_cmake_dir() -> str:
    """Returns the directory of orvelConfig.cmake, for find_package(orvel CONFIG) (orvel_DIR)."""
    return _os.path.join(_built_package(), "share", "cmake", "orvel")
