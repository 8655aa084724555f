"""orvel: lock-free slot queues, native-to-Python message bridges and coloured logging."""

import os as _os


def get_include() -> list[str]:
    """Directories to add to the include path of an extension module that cimports orvel."""
    package_root = _os.path.dirname(_os.path.dirname(_os.path.abspath(__file__)))
    return [package_root, _os.path.join(package_root, "orvel", "scribo", "include")]
