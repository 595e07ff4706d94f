"""What each field of the records is, in words: the one place that says it. docs/fields.md
(tools/make_fields_doc.py), the attributes' docstrings and the JSON Schema's descriptions
are made from it; a test holds it to the record layout, field for field.

The file format stores numbers and texts and gives most of them no further meaning: what a
code of targetType or elemType stands for, or in which unit a range or a duration counts,
is the game's. Where that is so, the words say so; a names file (docs/tables.md) gives the
codes names."""

GAME_CODES = "what each code stands for is the game's, not the file format's"
GAME_BITS = "one bit per %s; which bit is which is the game's, not the file format's"
GAME_UNIT = "its unit is the game's; the file format does not say it"
OPEN = "the file format leaves its use open"

# (record title, field) -> what the field is. The records are named by their titles in the
# layout (TITLES), so that a record added to the layout needs no edit here but its words.
MEANINGS = {
    ("action header", "actionID"):
        "the action's identifier; the file format does not require it to be unique (check "
        "and import warn of a repeat)",
    ("action header", "targetType"): "the kind of target; " + GAME_CODES,
    ("action header", "range"): "the action's range; " + GAME_UNIT,
    ("action header", "levelAcquired"): "the level at which the action is acquired",
    ("action header", "actionType"):
        "the kind of action; what codes other than 2 stand for is the game's",
    ("action header", "validClasses"):
        "the classes that may use the action: " + GAME_BITS % "class",
    ("action header", "can_doStates"):
        "the states in which the action can be done: " + GAME_BITS % "state",
    ("action header", "name"): "the action's name",
    ("action header", "desc"): "the action's description",
    ("action header", "blah"):
        "a further text; " + OPEN + " (the example set keeps a motto in it)",
    ("action header", "foo"):
        "a further text; " + OPEN + " (the example set keeps a sound's name in it)",
    ("action header", "bar"):
        "a further text; " + OPEN + " (the example set keeps an icon's name in it)",
    ("action header", "spellCode"): "the spell's code, up to 4 characters",
    ("action header", "spellPath"): "the spell's path (school); " + GAME_CODES,
    ("action header", "spellCost"): "what casting the spell costs; " + GAME_UNIT,
    ("damage", "range"): "the damage's range; " + GAME_UNIT,
    ("damage", "targetSize"):
        "the size of the target (how many, or how large: the game's)",
    ("damage", "die"):
        "the die rolled, by its number of sides: 6 for 2d6+3, as the example set uses it "
        "(the file format names it only \"die\"; healing's numSides is the same idea)",
    ("damage", "dice"):
        "how many dice are rolled: 2 for 2d6+3, as the example set uses it (healing's "
        "numDice is the same idea)",
    ("damage", "base"): "the base amount, added to the roll: 3 for 2d6+3",
    ("damage", "toHitBonus"): "the bonus to hit",
    ("damage", "levelMult"):
        "the level multiplier; how it scales the damage is the game's",
    ("damage", "elemType"): "the element of the damage; " + GAME_CODES,
    ("damage", "saveType"): "the kind of saving throw; " + GAME_CODES,
    ("damage", "specFlag"): "a special flag; " + GAME_CODES,
    ("damage", "specArg"): "the argument of the special flag",
    ("healing", "targetSize"):
        "the size of the target (how many, or how large: the game's); 16-bit here, 8-bit in "
        "the other bodies",
    ("healing", "numDice"): "how many dice are rolled",
    ("healing", "numSides"): "the number of sides of each die",
    ("healing", "base"): "the base amount, added to the roll",
    ("healing", "saveType"): "the kind of saving throw; " + GAME_CODES,
    ("healing", "flagSpecial"): "special flags; " + GAME_BITS % "flag",
    ("healing", "flagCondition"):
        "the conditions the healing needs or cures; " + GAME_BITS % "condition",
    ("stat modification", "range"): "the modification's range; " + GAME_UNIT,
    ("stat modification", "targetSize"):
        "the size of the target (how many, or how large: the game's)",
    ("stat modification", "duration"): "how long the modification lasts; " + GAME_UNIT,
    ("stat modification", "durationExact"):
        "the exact duration; how it differs from duration is the game's, the file format "
        "does not say",
    ("stat modification", "saveType"): "the kind of saving throw; " + GAME_CODES,
    ("stat modification", "specialFlags"): "special flags; " + GAME_BITS % "flag",
    ("stat entry", "stat"): "the statistic modified; " + GAME_CODES,
    ("stat entry", "modAmt"):
        "the amount added to the statistic (negative lowers it)",
}


def meaning(record, field):
    """What the field of the record type is, or None where the layout's own facts say it
    (the counts and lengths, the detail header)."""
    from qn4tGenericActionLayout import TITLES
    return MEANINGS.get((TITLES[record], field))


def kind_words(record, field, kind):
    """The field's type and range in words: "unsigned 8-bit, 0 to 255"."""
    from qn4tGenericActionLayout import INTEGER_RANGES, TEXTS, WIDTHS
    if kind == "text":
        return "text, as many bytes as %s says" % dict(TEXTS)[field]
    if kind == "chars":
        return "%d bytes; a shorter text is padded with zero bytes" % WIDTHS[record][field]
    low, high, words = INTEGER_RANGES[kind]
    return "%s, %d to %d" % (words, low, high)


def field_doc(record, field, kind):
    """An attribute's docstring: "die (signed 16-bit, -32768 to 32767): the die rolled..."."""
    said = meaning(record, field)
    return "%s (%s)%s" % (field, kind_words(record, field, kind), ": " + said if said else "")


def fields_doc(record, skip=()):
    """A class's docstring lines for the fields of a record type, one field a line."""
    from qn4tGenericActionLayout import LAYOUT
    fields = [f for name, _, fs in LAYOUT if name == record for f in fs]
    return "\n".join("    " + field_doc(record, field, kind) for field, kind in fields
                     if field not in skip)
