"""orvel: lock-free slot queues, native-to-Python message bridges and coloured logging."""

import os as _os


def get_include() -> list[str]:
    """Directories to add to the include path of an extension module that uses orvel natively,
    through Cython (cimport) or through the C++ headers <orvel/native.hpp> and
    <orvel/native_logging.hpp>."""
    package = _os.path.dirname(_os.path.abspath(__file__))
    return [_os.path.dirname(package), _os.path.join(package, "include"),
            _os.path.join(package, "scribo", "include")]
