"""Shared fixtures of the Python suites: the two modules, the record types, the
independent struct layouts, temporary files and gzip helpers."""
from __future__ import print_function

import binascii
import gzip
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import _qn4tGenericActionLoader as flat
import qn4tGenericActionLoader as q

HEADER = "qn4tGeneric_Action_Header"
DETAIL_HEADER = "qn4tGeneric_Action_Detail_Header"
DAMAGE = "qn4tGeneric_Damage_Details"
HEALING = "qn4tGeneric_Healing_Details"
STATMOD = "qn4tGeneric_StatMod_Details"
STAT = "qn4tGeneric_StatMod_Stat_Details"
RECORD_TYPES = (HEADER, DETAIL_HEADER, DAMAGE, HEALING, STATMOD, STAT)
DETAIL_TYPES = RECORD_TYPES[1:]
STREAM_TYPE = "_p_gzFile"

# The file layouts written down independently of the module, as struct formats in field
# order: the oracle that the module's bytes are checked against.
WIRE_FORMATS = {
    DETAIL_HEADER: "<HH",
    DAMAGE: "<BBhhhiBBHII",
    HEALING: "<HhhhHII",
    STATMOD: "<BBHHHII",
    STAT: "<Hh",
}
HEAD_FORMAT = "<IHHBBBBIIBBBB"
TRAILER_FORMAT = "<4sHH"
SPELL_ACTION_TYPE = 2

# The struct code of each integer conversion kind.
KIND_CODES = {"u8": "B", "u16": "H", "u32": "I", "s16": "h", "s32": "i"}
INTEGER_KINDS = tuple(KIND_CODES)
# Kinds whose setter takes the value through the argument parser ("h", "i") rather than
# converting it itself after the record.
PARSED_KINDS = ("s16", "s32")

POINTER_PATTERN = re.compile(r"^_([0-9a-f]{16})(_p_\w+)$")

# Peak-memory checks mean nothing under a sanitizer or memcheck (preloaded into the
# interpreter by scripts/hardening.sh and scripts/valgrind.sh): they keep released memory aside.
# A sanitizer also maps its shadow memory at start, which a capped address space refuses.
under_memory_tools = any(tool in os.environ.get("LD_PRELOAD", "")
                         for tool in ("asan", "vgpreload"))
skip_under_memory_tools = unittest.skipIf(
    under_memory_tools, "a sanitizer or memcheck keeps its own record of released memory")

# The host: the module is built for Python 2.7 and for Python 3 from the same source.
PYTHON3 = sys.version_info[0] >= 3

_DEBIAN_PACKAGES = "/usr/lib/python3/dist-packages"


def debian_module(name):
    """The module `name` of a Debian package (python3-<name>), or None where it is absent. A
    Python 3 of pyenv does not look in Debian's folder; it is searched (after every other
    place) when this interpreter has the minor version Debian's packages were made for."""
    import importlib
    try:
        return importlib.import_module(name)
    except ImportError:
        pass
    same_minor = os.path.isdir("/usr/lib/python3.%d" % sys.version_info[1])
    if not PYTHON3 or not same_minor or not os.path.isdir(_DEBIAN_PACKAGES):
        return None
    if _DEBIAN_PACKAGES not in sys.path:
        sys.path.append(_DEBIAN_PACKAGES)
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def record_text(data):
    """What a text getter returns for a record holding the bytes data: the bytes on
    Python 2; on Python 3 a str, decoded as UTF-8 with "surrogateescape"."""
    return data.decode("utf-8", "surrogateescape") if PYTHON3 else data


def other_string(text):
    """The text as the string type that is not the host's str (unicode on Python 2, bytes
    on Python 3): such an object is no pointer string."""
    return text.encode("ascii") if PYTHON3 else text.decode("ascii")


def mangled(type_name):
    """The mangled pointer type name of a record type, e.g. "_p_qn4tGeneric_Damage_Details"."""
    return "_p_" + type_name


def type_error(type_name):
    """The exact text of a failed conversion against the given record type or mangled name."""
    name = type_name if type_name.startswith("_p_") else mangled(type_name)
    return "Type error. Expected " + name


def fields(type_name):
    """(field, kind) pairs of a record type in file order, as the Python-side module declares them."""
    return getattr(q, type_name).FIELDS


def integer_fields(type_name):
    return [(f, k) for f, k in fields(type_name) if k in INTEGER_KINDS]


def text_fields():
    return [f for f, k in fields(HEADER) if k == "text"]


def flat_function(type_name, suffix):
    """The flat function `<type>_<suffix>`, e.g. flat_function(DAMAGE, "die_set")."""
    return getattr(flat, "%s_%s" % (type_name, suffix))


def new_record(type_name):
    return getattr(flat, "new_" + type_name)()


def delete_record(type_name, ref):
    return getattr(flat, "delete_" + type_name)(ref)


def getter(type_name, field):
    return flat_function(type_name, field + "_get")


def setter(type_name, field):
    return flat_function(type_name, field + "_set")


def pointer_text(ref):
    """The pointer string of a reference: the string itself or an instance's "this"."""
    return ref if isinstance(ref, str) else ref.this


def pointer_hex(ref):
    return POINTER_PATTERN.match(pointer_text(ref)).group(1)


def forged_pointer(address, type_name):
    """A well-formed pointer string for an arbitrary address (64-bit, memory order)."""
    digits = binascii.hexlify(struct.pack("<Q", address)).decode("ascii")
    name = type_name if type_name.startswith("_p_") else mangled(type_name)
    return "_" + digits + name


def pointer_address(ref):
    return struct.unpack("<Q", binascii.unhexlify(pointer_hex(ref)))[0]


def kind_range(kind):
    """The (lowest, highest) integer the getter of a kind can return."""
    bits = {"u8": 8, "u16": 16, "u32": 32, "s16": 16, "s32": 32}[kind]
    if kind in ("u8", "u16"):
        return 0, (1 << bits) - 1
    return -(1 << (bits - 1)), (1 << (bits - 1)) - 1


def as_unsigned(value, kind):
    """The value as the struct code of its kind packs it (u32 getters return signed values)."""
    if kind == "u32":
        return value & 0xFFFFFFFF
    return value


def gunzip(path):
    with gzip.open(path, "rb") as f:
        return f.read()


def write_gzip(path, data):
    with gzip.open(path, "wb") as f:
        f.write(data)


def write_plain(path, data):
    with open(path, "wb") as f:
        f.write(data)


def run_python(code):
    """Runs code in a fresh interpreter with this suite's environment; (rc, stdout, stderr)."""
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=os.environ.copy())
    out, err = proc.communicate()
    return proc.returncode, out, err


class TempDirTestCase(unittest.TestCase):
    """A test case with a private temporary directory and helpers for record files."""

    def setUp(self):
        self.tmpdir = tempfile.mkdtemp(prefix="qn4t-test-")
        self.addCleanup(shutil.rmtree, self.tmpdir, True)
        self._counter = 0

    def path(self, name=None):
        if name is None:
            self._counter += 1
            name = "file%d.gz" % self._counter
        return os.path.join(self.tmpdir, name)

    def open_stream(self, path, write_flag):
        """A flat stream reference, closed again when the test ends."""
        stream = flat.qn4tGenericOpen(path, write_flag)
        self.addCleanup(flat.qn4tGenericClose, stream)
        return stream

    def new(self, type_name):
        """A new record of the type, deleted explicitly when the test ends."""
        ref = new_record(type_name)
        self.addCleanup(self._delete_quietly, type_name, ref)
        return ref

    @staticmethod
    def _delete_quietly(type_name, ref):
        try:
            delete_record(type_name, ref)
        except TypeError:
            pass  # the test deleted it already

    def written_bytes(self, *typed_records):
        """Writes (type, record) pairs through the module; returns the decompressed file."""
        path = self.path()
        stream = flat.qn4tGenericOpen(path, 1)
        for type_name, ref in typed_records:
            self.assertEqual(flat_function(type_name, "write")(ref, stream), 0)
        flat.qn4tGenericClose(stream)
        return gunzip(path)

    def read_stream_of(self, data, compressed=True):
        """A read stream over a new file holding data (gzip-compressed unless told otherwise)."""
        path = self.path()
        (write_gzip if compressed else write_plain)(path, data)
        return self.open_stream(path, 0)

    def raised(self, error, label, call, *args):
        """The exception of type error that call(*args) raises; fails with label otherwise."""
        try:
            call(*args)
        except error as caught:
            return caught
        self.fail("%s: %s not raised" % (label, error.__name__))

    def assertTypeError(self, expected_type, call, *args, **options):
        """call(*args) raises TypeError whose message is exactly (or, with prefix=True, begins
        with) the conversion failure for expected_type."""
        with self.assertRaises(TypeError) as caught:
            call(*args)
        message = str(caught.exception)
        expected = type_error(expected_type)
        if options.get("prefix"):
            self.assertTrue(message.startswith(expected), "%r does not begin with %r"
                            % (message, expected))
        else:
            self.assertEqual(message, expected)
