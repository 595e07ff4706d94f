"""Names as values: with a names file's codes ({field: {code: name}}), the document form may
hold "elemType": "fire" where it holds "elemType": 1. to_codes() gives the form import
reads (every name made its code, an unknown name refused with the known ones listed);
to_names() the form a named export writes (a code with no name stays a number). A round
trip through names gives the same values, and so the same bytes."""

from qn4tGenericActionLoader import _form

try:
    _TEXTS = (str, unicode)  # Python 2
except NameError:
    _TEXTS = (str,)


class CodeNames(object):
    """The names of the codes of chosen fields. codes: {field: {code (int): name}}, as a names
    file's "codes" section gives them (docs/tables.md)."""

    def __init__(self, codes):
        self.names = dict((field, dict((int(code), name) for code, name in table.items()))
                          for field, table in codes.items())
        self.codes = {}
        for field, table in self.names.items():
            by_name = self.codes[field] = {}
            for code, name in sorted(table.items()):
                by_name.setdefault(name, code)  # a name given twice stands for its lowest code

    def __bool__(self):
        return bool(self.names)

    __nonzero__ = __bool__

    def to_names(self, values):
        """A copy of an action's dict (or any part of the form) with each named code as its
        name."""
        return _walk(values, self.names, self._name_of)

    def to_codes(self, values):
        """(a copy of an action's dict with each name as its code, the Problems of the names
        that are not known). A number stays as it is, for the form's own checks."""
        problems = []

        def code_of(field, value, parts):
            if not isinstance(value, _TEXTS):
                return value
            code = self.codes[field].get(value)
            if code is None:
                problems.append(_form.Problem(parts, "unknown name %s for %s (the names: %s)"
                                              % (_form._describe(value), field, self.known(field))))
                return value
            return code
        return _walk(values, self.names, code_of), problems

    def known(self, field):
        return ", ".join("%s (%d)" % (name, code)
                         for code, name in sorted(self.names[field].items()))

    def _name_of(self, field, value, parts):
        if isinstance(value, bool) or not isinstance(value, _form._INTEGERS):
            return value
        return self.names[field].get(value, value)


def _walk(value, fields, change, parts=()):
    """A copy of the form's value (an action's dict or a part of it) in which change(field,
    value, parts) replaces each scalar member of an object whose name is in fields; lists and
    objects are copied as they are walked."""
    if isinstance(value, dict):
        made = {}
        for key, item in value.items():
            here = parts + (key,)
            if key in fields and not isinstance(item, (dict, list)):
                made[key] = change(key, item, here)
            else:
                made[key] = _walk(item, fields, change, here)
        return made
    if isinstance(value, list):
        return [_walk(item, fields, change, parts + (number,)) for number, item in enumerate(value)]
    return value
