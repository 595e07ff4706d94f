"""Finds the qn4tGenericActionLoader module: on the Python path, else in QN4T_MODULE_DIR, else
in the repository's own build directory; and the record layout the build generates beside it."""
from __future__ import print_function, division

import importlib
import os
import sys

MODULE_NAME = "qn4tGenericActionLoader"
LAYOUT_NAME = "qn4tGenericActionLayout"


class ModuleMissing(Exception):
    """The module is neither importable nor present in any of the places looked at."""


def _repository_build_dir():
    """<repo>/build/python for Python 2, <repo>/build/python3 for Python 3."""
    here = os.path.dirname(os.path.realpath(__file__))  # <repo>/tools/actionfile
    folder = "python3" if sys.version_info[0] >= 3 else "python"
    return os.path.join(os.path.dirname(os.path.dirname(here)), "build", folder)


def _fallback_dirs():
    configured = os.environ.get("QN4T_MODULE_DIR")
    if configured:
        yield configured
    yield _repository_build_dir()


def _import():
    return __import__(MODULE_NAME)


def load():
    """Imports and returns the module; raises ModuleMissing naming the places looked at."""
    try:
        return _import()
    except ImportError as error:
        first_error = error
    looked_at = ["the Python path"]
    for directory in _fallback_dirs():
        looked_at.append(directory)
        if not os.path.isdir(directory):
            continue
        sys.path.insert(0, directory)
        try:
            return _import()
        except ImportError as error:
            first_error = error
            sys.path.remove(directory)
    raise ModuleMissing("cannot import %s (%s); looked in %s. Build it with cmake (target "
                        "_qn4tGenericActionLoader) or set QN4T_MODULE_DIR to <build>/python "
                        "(<build>/python3 for Python 3)"
                        % (MODULE_NAME, first_error, ", ".join(looked_at)))


def load_layout():
    """The layout file that the build writes beside the package (qn4tGenericActionLayout): the
    records' fields and the format facts. Raises ModuleMissing as load() does."""
    load()
    try:
        return importlib.import_module(LAYOUT_NAME)
    except ImportError as error:
        raise ModuleMissing("cannot import %s (%s), which the build writes beside %s"
                            % (LAYOUT_NAME, error, MODULE_NAME))


def formatted(template, *parts):
    """template % parts as a message that holds any text (a file name, a quoted line, a key),
    by the package's rules. Raises ModuleMissing as load() does."""
    return load().formatted(template, *parts)


def message_bytes(value):
    """A message's bytes by the package's rules; while the package cannot be found (the
    message that says so), its UTF-8 with whatever has no UTF-8 form backslash-escaped."""
    try:
        return load().message_bytes(value)
    except ModuleMissing:
        if isinstance(value, bytes):
            return value
        return ("%s" % value).encode("utf-8", "backslashreplace")


def module_bytes(value):
    """A text as the module's getters return it, as bytes: a str on both hosts, which on
    Python 3 holds the record's bytes decoded as UTF-8 with "surrogateescape"."""
    if isinstance(value, bytes):
        return value
    return value.encode("utf-8", "surrogateescape")
