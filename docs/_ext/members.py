"""Class pages list each member once.

numpydoc renders a class's Attributes section, and ``:members:`` documents the
same properties again; a property that the Attributes section names is left
to it. The fields of a named tuple are its Parameters already.
"""

import sys

from numpydoc.docscrape import NumpyDocString


def _named_in_attributes(prop):
    owner_name, _, name = prop.fget.__qualname__.rpartition(".")
    owner = getattr(sys.modules[prop.fget.__module__], owner_name, None)
    if owner is None or not owner.__doc__:
        return False
    return name in {attribute.name for attribute in NumpyDocString(owner.__doc__)["Attributes"]}


def skip_member(app, what, name, obj, skip, options):
    if what != "class":
        return None
    if isinstance(obj, property) and _named_in_attributes(obj):
        return True
    if type(obj).__name__ == "_tuplegetter":
        return True
    return None


def setup(app):
    app.connect("autodoc-skip-member", skip_member)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
