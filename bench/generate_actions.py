"""Deterministic generator of realistic action files, shared by every benchmark.

One Python program writes the file that both the native and the Python benchmarks read, so
they all measure the same bytes. The same seed and count always give the same content
(only the random module's `random()` is used, whose sequence is fixed for a seed).

An action is an action header (texts of realistic lengths; about half are spells with the
8-byte trailer) followed by 1 to 4 details of mixed kinds. A detail is a detail header
(type = the QN4T_GENERIC_ACTION_* number of its body, length = the body's bytes) and its
body; a stat modification carries 1 to 5 stat entries behind its body.

    python bench/generate_actions.py OUT.gz COUNT [SEED]

Python 2.7 and Python 3 write the same bytes; texts are byte strings on both.

The layouts below are written down independently of the module (struct formats in field
order): the pure-Python readers of the benchmarks use them as well.
"""
from __future__ import print_function

import gzip
import random
import struct
import sys

HEAD = struct.Struct("<IHHBBBBIIBBBB")
TRAILER = struct.Struct("<4sHH")
DETAIL_HEADER = struct.Struct("<HH")
DAMAGE = struct.Struct("<BBhhhiBBHII")
HEALING = struct.Struct("<HhhhHII")
STATMOD = struct.Struct("<BBHHHII")
STAT = struct.Struct("<Hh")

SPELL = 2  # the action type whose header carries the trailer
DAMAGE_TYPE, STATMOD_TYPE, HEALING_TYPE = 1, 2, 3  # detail header type numbers
BODIES = {DAMAGE_TYPE: DAMAGE, STATMOD_TYPE: STATMOD, HEALING_TYPE: HEALING}

# Text lengths as game data has them: short names, sentence-long descriptions, optional notes.
TEXT_LENGTHS = ((4, 24), (30, 220), (0, 40), (0, 24), (0, 16))
WORDS = ("fire ice bolt storm the of a strikes all foes within range for heavy damage and "
         "slows them heals ally restores strength wisdom curse blessing ward shadow light "
         "arcane nature poison spirit").split()
PROSE = " ".join(WORDS[(i * 7 + i // 5) % len(WORDS)] for i in range(400))
DEFAULT_SEED = 7


class _Dice(object):
    """Integers from random() alone, so the sequence is the same for every Python version."""

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def int(self, low, high):
        """An integer from low to high, both included."""
        return low + int(self.rng.random() * (high - low + 1))

    def text(self, low, high):
        """Words of realistic text, `low` to `high` bytes long."""
        size = self.int(low, high)
        start = self.int(0, len(PROSE) - size - 1)
        return PROSE[start:start + size].encode("ascii")


def _action(dice, action_id):
    """One action: (head values, texts, trailer values or None, details). A detail is
    (type, body values, stat entries)."""
    texts = [dice.text(low, high) for low, high in TEXT_LENGTHS]
    action_type = SPELL if dice.int(0, 1) else dice.int(3, 6)
    details = []
    for _ in range(dice.int(1, 4)):
        kind = (DAMAGE_TYPE, STATMOD_TYPE, HEALING_TYPE)[dice.int(0, 2)]
        if kind == DAMAGE_TYPE:
            body = (dice.int(0, 255), dice.int(0, 8), dice.int(2, 20), dice.int(1, 10),
                    dice.int(-50, 200), dice.int(-20, 20), dice.int(0, 5), dice.int(0, 12),
                    dice.int(0, 6), dice.int(0, 0xFFFF), dice.int(0, 0xFFFFFF))
            stats = ()
        elif kind == HEALING_TYPE:
            body = (dice.int(0, 8), dice.int(1, 10), dice.int(2, 12), dice.int(0, 100),
                    dice.int(0, 6), dice.int(0, 0xFFFF), dice.int(0, 0xFFFF))
            stats = ()
        else:
            stats = tuple((dice.int(0, 40), dice.int(-30, 30)) for _ in range(dice.int(1, 5)))
            body = (dice.int(0, 255), dice.int(0, 8), dice.int(1, 600), dice.int(0, 1),
                    dice.int(0, 6), dice.int(0, 0xFFFF), len(stats))
        details.append((kind, body, stats))
    head = (action_id, len(texts[0]), len(texts[1]), dice.int(0, 7), dice.int(0, 255),
            dice.int(1, 60), action_type, dice.int(0, 0xFFFFFFFF), dice.int(0, 0xFFFF),
            len(details), len(texts[2]), len(texts[3]), len(texts[4]))
    trailer = None
    if action_type == SPELL:
        code = "".join(chr(dice.int(65, 90)) for _ in range(4)).encode("ascii")
        trailer = (code, dice.int(0, 12), dice.int(1, 250))
    return head, texts, trailer, details


def actions(count, seed=DEFAULT_SEED):
    """Yields `count` actions; the same count and seed give the same actions."""
    dice = _Dice(seed)
    for action_id in range(1, count + 1):
        yield _action(dice, action_id)


def action_bytes(action):
    """The bytes of one action with its details, in file order."""
    head, texts, trailer, details = action
    parts = [HEAD.pack(*head)] + list(texts)
    if trailer is not None:
        parts.append(TRAILER.pack(*trailer))
    for kind, body, stats in details:
        shape = BODIES[kind]
        parts.append(DETAIL_HEADER.pack(kind, shape.size))
        parts.append(shape.pack(*body))
        parts.extend(STAT.pack(*s) for s in stats)
    return b"".join(parts)


def write_file(path, count, seed=DEFAULT_SEED):
    """Writes `count` actions gzip-compressed at zlib's default level (what a record stream
    opened for writing uses). Returns (records, uncompressed bytes)."""
    records = size = 0
    with open(path, "wb") as raw:
        out = gzip.GzipFile("", "wb", 6, raw, mtime=0)  # no time stamp: same bytes each run
        try:
            for action in actions(count, seed):
                data = action_bytes(action)
                out.write(data)
                size += len(data)
                records += 1 + sum(2 + len(stats) for _, _, stats in action[3])
        finally:
            out.close()
    return records, size


USAGE = "usage: generate_actions.py OUT.gz COUNT [SEED]"


def main(argv):
    if len(argv) == 2 and argv[1] in ("-h", "--help"):
        print(USAGE + "\n\n" + __doc__.strip())
        return 0
    if len(argv) not in (3, 4):
        print(USAGE + " (--help tells more)", file=sys.stderr)
        return 2
    seed = int(argv[3]) if len(argv) == 4 else DEFAULT_SEED
    records, size = write_file(argv[1], int(argv[2]), seed)
    print("%s: %s actions, %d records, %d bytes uncompressed" % (argv[1], argv[2], records, size))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
