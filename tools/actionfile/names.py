"""Names for the numeric codes of chosen fields, read from a names file (JSON):

    {"codes": {"elemType": {"1": "fire", "2": "frost"}, "stat": {"0": "strength"}},
     "bits":  {"validClasses": {"0": "warrior", "1": "mage"}}}

"codes" names a field's values, "bits" the bits (0 the lowest) of a flag field. The names
label the views (the page, the CSV and SQL exports); they are never written into an action
file."""
from __future__ import print_function, division

import io
import json

from . import module
from .module import formatted

try:
    INTEGER_TYPES = (int, long)  # Python 2
    TEXT_TYPE = unicode
except NameError:
    INTEGER_TYPES = (int,)
    TEXT_TYPE = str

SECTIONS = ("codes", "bits")


class Names(object):
    """codes: {field: {code: name}}; bits: {field: {bit: name}}."""

    def __init__(self, codes=None, bits=None):
        self.codes = codes or {}
        self.bits = bits or {}

    def fields(self):
        return sorted(set(self.codes) | set(self.bits))

    def name(self, field, value):
        """The name of a field's value: its code's name, the names of its set bits joined
        with "|" (an unnamed bit as bitN), or None when the field has no names."""
        if field in self.codes:
            return self.codes[field].get(value)
        if field in self.bits and isinstance(value, INTEGER_TYPES):
            bits = self.bits[field]
            return "|".join(bits.get(bit, "bit%d" % bit) for bit in range(value.bit_length())
                            if value >> bit & 1)
        return None

    def as_json(self):
        def keyed(table):
            return dict((field, dict((str(k), v) for k, v in names.items()))
                        for field, names in table.items())
        return {"codes": keyed(self.codes), "bits": keyed(self.bits)}


def _text_rules():
    return module.load()  # the package: the document's rules for texts


class BadNames(Exception):
    """A names file that cannot be used; the message names the file and the entry."""


def load(path, integer_fields):
    """The Names of the file at path. integer_fields: {field: (low, high)} of the fields that
    may have names (the layout's integer fields)."""
    try:
        with io.open(path, "rb") as stream:
            document = json.loads(stream.read().decode("utf-8"))
    except (IOError, OSError) as error:
        raise BadNames("cannot read %s: %s" % (path, error.strerror or error))
    except ValueError as error:  # not UTF-8, or not JSON
        raise BadNames(formatted("%s: not a names file: %s", path, error))
    except RuntimeError as error:  # RecursionError on Python 3
        raise BadNames(formatted("%s: not a names file: nested too deeply to be read (%s)",
                                 path, error))
    if not isinstance(document, dict) or not set(document) <= set(SECTIONS):
        raise BadNames(formatted('%s: expected a JSON object with "codes" and/or "bits"',
                                 path))
    made = {}
    for section in SECTIONS:
        table = document.get(section, {})
        if not isinstance(table, dict):
            raise BadNames("%s: %s: expected an object of fields" % (path, section))
        made[section] = {}
        for field, names in table.items():
            where = formatted("%s: %s.%s", path, section, field)
            if field not in integer_fields:
                raise BadNames("%s: not an integer field of the action records" % where)
            low, high = integer_fields[field]
            if section == "bits":
                low, high = 0, high.bit_length() - 1
            if not isinstance(names, dict):
                raise BadNames("%s: expected an object of codes and names" % where)
            made[section][field] = {}
            for code, name in names.items():
                try:
                    number = int(code)
                except ValueError:
                    number = None
                if number is None or not low <= number <= high:
                    raise BadNames(formatted("%s: %s is not a whole number from %d to %d",
                                             where, json.dumps(code), low, high))
                if not isinstance(name, TEXT_TYPE) or not name:
                    raise BadNames(formatted("%s.%s: expected a name (a non-empty string)",
                                             where, code))
                if not _text_rules().has_utf8_form(name):  # every view writes names as UTF-8
                    raise BadNames(formatted("%s.%s: the name has no UTF-8 form (a lone "
                                             "surrogate such as \\ud800)", where, code))
                made[section][field][number] = name
    return Names(made["codes"], made["bits"])


def integer_fields(layout):
    """{field: (low, high)} of the integer fields of every record of the layout."""
    fields = {}
    for shape in [layout.head, layout.trailer, layout.detail_header, layout.stat] + [
            kind.shape for kind in layout.kinds.values()]:
        for name, kind in shape.integer_fields:
            fields[name] = (kind.low, kind.high)
    return fields
