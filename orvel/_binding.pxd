# cython: language_level=3
# What the extension modules do alike to the types they define; compiled into each (inline).

from cpython.object cimport PyTypeObject
from cpython.type cimport PyType_Modified


# Puts `value` in the dictionary of the extension type `cls` under `name`, in place of what Cython
# put there. The types are static and closed to setattr: Cython fills their dictionaries so too.
cdef inline int replace_in_class(type cls, str name, object value) except -1:
    (<dict><object>(<PyTypeObject*>cls).tp_dict)[name] = value
    PyType_Modified(cls)
    return 0
