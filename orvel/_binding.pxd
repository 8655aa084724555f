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
