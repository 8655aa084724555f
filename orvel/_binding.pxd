# cython: language_level=3
# What the extension modules do alike to the types they define; compiled into each (inline).

from cpython.object cimport PyTypeObject
from cpython.type cimport PyType_Modified


# Sets `name` to `value` in the dictionary of the extension type `cls`, replacing what Cython put
# there if anything. The types are static and closed to setattr: Cython fills their dictionaries so.
cdef inline int replace_in_class(type cls, str name, object value) except -1:
    (<dict><object>(<PyTypeObject*>cls).tp_dict)[name] = value
    PyType_Modified(cls)
    return 0


cdef extern from "orvel/_binding.hpp" namespace "orvel::binding":
    # Makes every method Cython defined in the extension type `cls` refuse, with TypeError, an
    # object that is not an instance: called on the class, Cython's methods take any object as
    # their `self`, and read its memory as the type's fields. Once the class is complete.
    int guard_methods(type cls) except -1
