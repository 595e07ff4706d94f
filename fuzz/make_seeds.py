"""Writes the hand-made seed inputs in fuzz/corpus/ for the record and pointer-string
targets, and the whole-action targets' seeds from the example set (examples/actions.json,
made an action file by the build's actiontool). The action bytes come from the module
itself, so no layout is restated here. Run once with the module on the path:

    PYTHONPATH=build/python python2.7 fuzz/make_seeds.py

fuzz_python_boundary's seeds are inputs kept from a fuzz run (libFuzzer -merge=1)."""
from __future__ import print_function

import gzip
import io
import json
import os
import shutil
import subprocess
import tempfile

import _qn4tGenericActionLoader as m
import qn4tGenericActionLoader as q

HERE = os.path.dirname(os.path.abspath(__file__))
HEADER, DETAIL, DAMAGE, HEALING, STATMOD, STAT = (
    "qn4tGeneric_Action_Header", "qn4tGeneric_Action_Detail_Header",
    "qn4tGeneric_Damage_Details", "qn4tGeneric_Healing_Details",
    "qn4tGeneric_StatMod_Details", "qn4tGeneric_StatMod_Stat_Details")
# The order of the record kinds in fuzz_records.cpp (a selector byte picks one modulo 6)
# and of the live objects in fuzz_pointer_string.cpp (the stream comes last).
KINDS = (HEADER, DETAIL, DAMAGE, HEALING, STATMOD, STAT)
SLOTS = {"_p_qn4tGeneric_Action_Header": 1, "_p_qn4tGeneric_Action_Detail_Header": 2,
         "_p_gzFile": 3, "_p_qn4tGeneric_Damage_Details": 4, "_p_qn4tGeneric_Healing_Details": 5,
         "_p_qn4tGeneric_StatMod_Details": 6, "_p_qn4tGeneric_StatMod_Stat_Details": 7}
LIVE_INDEX = dict(("_p_" + kind, i) for i, kind in enumerate(KINDS))
LIVE_INDEX["_p_gzFile"] = len(KINDS)


def record(kind, **fields):
    ref = getattr(m, "new_" + kind)()
    for field, value in fields.items():
        getattr(m, "%s_%s_set" % (kind, field))(ref, value)
    return kind, ref


def header(action_type, texts, **fields):
    kind, ref = record(HEADER, actionType=action_type, **fields)
    for field, text in texts.items():
        getattr(m, "%s_%s_set" % (HEADER, field))(ref, text)
        getattr(m, "%s_%sLen_set" % (HEADER, field))(ref, len(text))
    return kind, ref


def action_file(records):
    """The gzip file (bytes) and its content as the module writes the records."""
    directory = tempfile.mkdtemp()
    try:
        path = os.path.join(directory, "a.gz")
        stream = m.qn4tGenericOpen(path, 1)
        for kind, ref in records:
            getattr(m, kind + "_write")(ref, stream)
        m.qn4tGenericClose(stream)
        return compressed_and_plain(path)
    finally:
        shutil.rmtree(directory)


def compressed_and_plain(path):
    """The gzip file's bytes as written, and the records' bytes inside it."""
    with open(path, "rb") as f:
        compressed = f.read()
    with gzip.open(path, "rb") as f:
        return compressed, f.read()

def selectors(kinds):
    return bytearray([len(kinds) - 1] + [KINDS.index(k) for k in kinds])


def save(target, name, data):
    directory = os.path.join(HERE, "corpus", target)
    if not os.path.isdir(directory):
        os.makedirs(directory)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(bytes(data))


def record_seeds():
    spell = [header(2, {"name": "Frost", "desc": "A bolt of cold"}, actionID=7, numDetails=2,
                    spellCode="ICE", spellCost=12),
             record(DETAIL, type=1, length=24), record(DAMAGE, die=6, dice=3, toHitBonus=-2),
             record(DETAIL, type=2, length=16), record(STATMOD, numStatMods=1, duration=5),
             record(STAT, stat=3, modAmt=-1)]
    healing = [header(3, {"name": "Mend", "blah": "b", "foo": "fo", "bar": "bar"}, numDetails=1),
               record(DETAIL, type=3, length=18), record(HEALING, numDice=2, numSides=8, base=1)]
    cases = [("spell", spell, [HEADER, DETAIL, DAMAGE, DETAIL, STATMOD, STAT]),
             ("healing", healing, [HEADER, DETAIL, HEALING])]
    for name, records, kinds in cases:
        compressed, content = action_file(records)
        save("fuzz_records", name, selectors(kinds) + content)
        save("fuzz_records", name + "-short-head", selectors(kinds) + content[:20])
        save("fuzz_records", name + "-short-texts", selectors(kinds) + content[:30])
        save("fuzz_records_gzip", name, selectors(kinds) + compressed)
        save("fuzz_records_gzip", name + "-plain", selectors(kinds) + content)
        save("fuzz_records_gzip", name + "-truncated", selectors(kinds) + compressed[:-9])
        corrupt = bytearray(compressed)
        corrupt[-8] ^= 0xff  # the CRC of the data
        save("fuzz_records_gzip", name + "-bad-crc", selectors(kinds) + corrupt)
    for kind in KINDS:
        compressed, content = action_file([record(kind)])
        save("fuzz_records", "new-" + kind, selectors([kind]) + content)


def pointer_seeds():
    for name, slot in sorted(SLOTS.items()):
        live = LIVE_INDEX[name]
        for form, label in ((0, "string"), (1, "subclass"), (2, "instance"), (3, "unicode")):
            control = 0x40 | 0x08 | slot | (form << 4)
            save("fuzz_pointer_string", "%s-%s" % (name[3:], label),
                 bytearray([control, live]) + name.encode("ascii"))
        save("fuzz_pointer_string", name[3:] + "-quiet-mismatch",
             bytearray([0x40 | slot, (live + 1) % len(LIVE_INDEX)]) + name.encode("ascii"))
    save("fuzz_pointer_string", "deleted",
         bytearray([0x80 | 0x08 | SLOTS["_p_qn4tGeneric_Damage_Details"], 0])
         + b"_p_qn4tGeneric_Damage_Details")
    for label, text in (("null", b"NULL"), ("zero", b"_" + b"0" * 16 + b"_p_gzFile"),
                        ("upper", b"_C3B2A10000000000_p_qn4tGeneric_Action_Header"),
                        ("short", b"_c3b2a1"), ("empty", b"")):
        save("fuzz_pointer_string", label, bytearray([0x08 | 1, 0]) + text)


def example_file():
    """The example set as an action file: (its gzip bytes, its content)."""
    actiontool = os.environ.get("ACTIONTOOL", os.path.join(HERE, "..", "build", "actiontool"))
    directory = tempfile.mkdtemp()
    try:
        path = os.path.join(directory, "examples.gz")
        subprocess.check_call([actiontool, "import", os.path.join(HERE, "..", "examples", "actions.json"),
                               path])
        return compressed_and_plain(path)
    finally:
        shutil.rmtree(directory)


def whole_action_seeds():
    """fuzz_action_reader: the example file whole and cut, gzip (first byte 0) and plain (1);
    fuzz_kept_details: each example action's bytes alone (first byte: a detail count);
    fuzz_json_import: each example action's JSON form."""
    compressed, content = example_file()
    for name, data in (("examples", b"\0" + compressed), ("examples-plain", b"\1" + content),
                       ("examples-cut", b"\0" + compressed[:len(compressed) // 2]),
                       ("examples-plain-cut", b"\1" + content[:len(content) // 2 + 3])):
        save("fuzz_action_reader", name, data)
    with open(os.path.join(HERE, "..", "examples", "actions.json")) as f:
        document = json.load(f)
    for number, action in enumerate(document["actions"]):
        save("fuzz_json_import", "example-%d" % number, json.dumps(action).encode("utf-8"))
    for number, action in enumerate(q.read_actions(io.BytesIO(compressed))):
        out = io.BytesIO()
        q.write_actions(out, [action])
        save("fuzz_kept_details", "example-%d" % number,
             bytearray([action.numDetails]) + gzip.GzipFile(fileobj=io.BytesIO(out.getvalue())).read())


if __name__ == "__main__":
    record_seeds()
    pointer_seeds()
    whole_action_seeds()
    print("seeds written to", os.path.join(HERE, "corpus"))
