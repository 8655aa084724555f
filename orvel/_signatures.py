"""Class signatures for inspect.signature(), which finds none for an extension type. Each is read
from the constructor text the class documents as the first line of its docstring, for instance
"Tandem(size_t slot_size, size_t capacity, bool overwrite=False)", with the Python type each type
named there stands for."""

import ast
import inspect
from collections.abc import Mapping
from typing import Any

# The types every constructor text may name; a module adds its own.
C_TYPES: Mapping[str, Any] = {"bool": bool, "str": str, "int": int, "size_t": int}


class DocumentedSignature:
    """The __signature__ of the extension type `cls`, to be set in its dictionary.

    `types` maps the type names of the text to Python types (C_TYPES and more); `untyped` maps the
    parameters written without a type to their annotations; `names` resolves a default written as
    an attribute, "Level.TRACE", by its first name. A default of None adds None to the annotation.
    A Python subclass with a constructor of its own is not described: inspect reads that one."""

    def __init__(self, cls: type, types: Mapping[str, Any], untyped: Mapping[str, Any] | None = None,
                 names: Mapping[str, Any] | None = None) -> None:
        self._cls = cls
        self._signature = constructor_signature(cls.__doc__ or "", types, untyped or {}, names or {})

    def __get__(self, instance: object, owner: type | None = None) -> inspect.Signature | None:
        if owner is None:
            owner = type(instance)
        if any(getattr(owner, name) is not getattr(self._cls, name) for name in ("__init__", "__new__")):
            return None
        return self._signature


def constructor_signature(doc: str, types: Mapping[str, Any], untyped: Mapping[str, Any],
                          names: Mapping[str, Any]) -> inspect.Signature:
    text = doc.partition("\n")[0]
    declared = text[text.index("(") + 1:text.rindex(")")]
    parameters = []
    for part in filter(None, declared.split(", ")):
        declaration, has_default, default_text = part.partition("=")
        kind, _, name = declaration.rpartition(" ")
        annotation = types[kind] if kind else untyped[name]
        default: Any = inspect.Parameter.empty
        if has_default:
            default = default_value(default_text, names)
            if default is None:
                annotation = annotation | None
        parameters.append(inspect.Parameter(name, inspect.Parameter.POSITIONAL_OR_KEYWORD,
                                            default=default, annotation=annotation))
    return inspect.Signature(parameters, return_annotation=None)


def default_value(text: str, names: Mapping[str, Any]) -> Any:
    first, dot, rest = text.partition(".")
    if dot and first in names:
        value = names[first]
        for attribute in rest.split("."):
            value = getattr(value, attribute)
        return value
    return ast.literal_eval(text)
