"""Builds scribo_consumer against the installed orvel: its .pxd files and headers."""

import orvel
from Cython.Build import cythonize
from setuptools import Extension, setup

extension = Extension(
    "scribo_consumer",
    ["scribo_consumer.pyx"],
    language="c++",
    include_dirs=[orvel.get_include()],
    # The logger types come from the system's compiled spdlog, as in orvel itself.
    define_macros=[("SPDLOG_COMPILED_LIB", None), ("SPDLOG_SHARED_LIB", None), ("SPDLOG_FMT_EXTERNAL", None)],
    extra_compile_args=["-std=c++20"],
    libraries=["spdlog", "fmt"],
)

setup(ext_modules=cythonize([extension], language_level=3, build_dir="build"))
