import orvel
from Cython.Build import cythonize
from setuptools import Extension, setup

# Cython finds orvel/tandem/tandem.pxd on sys.path; the C++ compiler needs orvel's headers.
courier = Extension("courier", ["courier.pyx"], language="c++",
                    include_dirs=[orvel.get_include()], extra_compile_args=["-std=c++20"])
setup(ext_modules=cythonize([courier], language_level=3, build_dir="build"))
