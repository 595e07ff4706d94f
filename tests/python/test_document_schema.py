"""The JSON Schema of the document form: every export validates against it, a wrong document
fails it where the import refuses it, and a document naming it imports as one that does not.
Validation needs Debian's python3-jsonschema (Python 3); those tests skip where it is absent."""
from __future__ import print_function

import copy
import io
import json
import os
import unittest

import support
from test_actiontool import (EXAMPLE, SOURCE_DIR, SPELL, ToolTestCase, action, damage,
                             detail, generated_file, gunzip, healing, statmod)

jsonschema = support.debian_module("jsonschema")
needs_jsonschema = unittest.skipIf(
    jsonschema is None, "python3-jsonschema is not installed for this Python "
    "(scripts/setup.sh installs it; Python 2.7 has none)")
NAMES = os.path.join(SOURCE_DIR, "examples", "names.json")


def schema_places(validator, document):
    """Where the schema refuses the document: the path of each error, and for a member the
    schema does not know, the path of that member."""
    places = set()
    for error in validator.iter_errors(document):
        path = tuple(error.absolute_path)
        places.add(path)
        if error.validator == "additionalProperties":
            known = error.schema.get("properties", {})
            places.update(path + (key,) for key in error.instance if key not in known)
    return places


def import_places(q, document):
    """Where the import refuses the document's actions (the document's own members are
    checked by the tool; see test_the_document_members)."""
    places = set()
    for index, values in enumerate(document["actions"]):
        try:
            q.Action.from_dict(values)
        except ValueError as error:
            places.update(("actions", index) + problem.parts for problem in error.problems)
    return places


def spell_document():
    return {"format": 2, "actions": [{
        "actionID": 1, "name": u"Spark", "actionType": SPELL, "spellCode": u"SPRK",
        "details": [
            {"header": {"type": 1}, "body": {"die": 6, "dice": 2}},
            {"header": {"type": 2}, "body": {"duration": 3}, "stats": [{"stat": 3, "modAmt": -2}]},
            {"header": {"type": 9}, "body": {"hex": "0102"}}]}, {
        "actionID": 2, "name": u"Rest", "actionType": 1,
        "details": [{"header": {"type": 3}, "body": {"numDice": 2}}]}]}


class WrongDocumentTest(ToolTestCase):
    """Each wrong document fails the schema at the place where the import refuses it."""

    WRONG = [
        # (title, change to spell_document(), the place of the mistake)
        ("u8 out of range", lambda d: d["actions"][0].update(range=256),
         ("actions", 0, "range")),
        ("u32 negative", lambda d: d["actions"][1].update(validClasses=-1),
         ("actions", 1, "validClasses")),
        ("s16 out of range in a body", lambda d: d["actions"][0]["details"][0]["body"].update(
            die=40000), ("actions", 0, "details", 0, "body", "die")),
        ("s16 out of range in a stat entry", lambda d: d["actions"][0]["details"][1]["stats"][
            0].update(modAmt=-40000), ("actions", 0, "details", 1, "stats", 0, "modAmt")),
        ("a string for an integer", lambda d: d["actions"][0].update(levelAcquired=u"3"),
         ("actions", 0, "levelAcquired")),
        ("a boolean for an integer", lambda d: d["actions"][1].update(targetType=True),
         ("actions", 1, "targetType")),
        ("a fraction", lambda d: d["actions"][1]["details"][0]["body"].update(base=2.5),
         ("actions", 1, "details", 0, "body", "base")),
        ("a misspelt field", lambda d: d["actions"][0].update(nmae=u"x"),
         ("actions", 0, "nmae")),
        ("a misspelt body field", lambda d: d["actions"][1]["details"][0]["body"].update(
            numDcie=1), ("actions", 1, "details", 0, "body", "numDcie")),
        ("a damage field on a healing body", lambda d: d["actions"][1]["details"][0][
            "body"].update(die=4), ("actions", 1, "details", 0, "body", "die")),
        ("spell fields on an action that is not a spell", lambda d: d["actions"][1].update(
            spellCost=3), ("actions", 1, "spellCost")),
        ("stats on a damage detail", lambda d: d["actions"][0]["details"][0].update(stats=[]),
         ("actions", 0, "details", 0, "stats")),
        ("record fields on a type with no record", lambda d: d["actions"][0]["details"][
            2].update(body={"die": 1}), ("actions", 0, "details", 2, "body")),
        ("odd hex", lambda d: d["actions"][0].update(desc={"hex": "abc"}),
         ("actions", 0, "desc")),
        ("a spell code of five letters", lambda d: d["actions"][0].update(spellCode=u"SPARK"),
         ("actions", 0, "spellCode")),
        ("a spell code in hex of three bytes", lambda d: d["actions"][0].update(
            spellCode={"hex": "010203"}), ("actions", 0, "spellCode")),
        ("a text too long for its length field", lambda d: d["actions"][1].update(
            blah=u"x" * 256), ("actions", 1, "blah")),
        ("a detail type out of range", lambda d: d["actions"][0]["details"][0][
            "header"].update(type=70000), ("actions", 0, "details", 0, "header", "type")),
        ("a list for a detail", lambda d: d["actions"][0]["details"].append([]),
         ("actions", 0, "details", 3)),
        ("256 details", lambda d: d["actions"][1].update(
            details=d["actions"][1]["details"] * 256), ("actions", 1, "details")),
    ]

    @needs_jsonschema
    def test_wrong_documents_fail_where_the_import_refuses(self):
        q = support.q
        validator = jsonschema.Draft7Validator(q.document_schema())
        self.assertEqual(list(validator.iter_errors(spell_document())), [])
        self.assertEqual(import_places(q, spell_document()), set())
        for title, change, place in self.WRONG:
            document = spell_document()
            change(document)
            self.assertIn(place, import_places(q, document), title)
            self.assertIn(place, schema_places(validator, document), title)

    @needs_jsonschema
    def test_the_document_members(self):
        """The document's own members: the tool refuses what the schema refuses."""
        validator = jsonschema.Draft7Validator(support.q.document_schema())
        cases = [
            ("a member besides the actions", lambda d: d.update(extra=1)),
            ("another format", lambda d: d.update(format=3)),
            ("a number as $schema", lambda d: d.update({"$schema": 5})),
        ]
        for title, change in cases:
            document = spell_document()
            change(document)
            self.assertTrue(schema_places(validator, document), title)
            status, _, err = self.run_tool("check", self.json_file(document))
            self.assertEqual(status, 1, (title, err))


class ExportValidatesTest(ToolTestCase):
    """Whatever export writes validates, with and without names."""

    def exported(self, source, *options):
        path = self.path("exported.json")
        self.assertRuns("export", source, path, *options)
        with io.open(path, encoding="utf-8") as f:
            return json.load(f)

    @needs_jsonschema
    def test_every_export_validates(self):
        example = self.path("example.gz")
        self.assertRuns("import", EXAMPLE, example)
        crafted = self.action_file(
            action(1, b"\xff\xfe", action_type=SPELL, spell=(b"\x01\x02\x03\x04", 1, 2),
                   details=[damage(), statmod(), healing(), detail(9, b"\x00\x01"),
                            damage(length=40)]) + action(2, b"Rest", action_type=255),
            "crafted.gz")
        generated = self.action_file(generated_file(200, 31), "generated.gz")
        plain = support.q.document_schema()
        with io.open(NAMES, encoding="utf-8") as f:
            named = support.q.document_schema(json.load(f))
        for source in (example, crafted, generated):
            document = self.exported(source)
            for schema in (plain, named):
                errors = list(jsonschema.Draft7Validator(schema).iter_errors(document))
                self.assertEqual(errors, [], (source, errors[:1]))
        with_names = self.exported(example, "--names", NAMES, "--named")
        self.assertEqual(with_names["actions"][0]["details"][0]["body"]["elemType"], "fire")
        self.assertEqual(list(jsonschema.Draft7Validator(named).iter_errors(with_names)), [])
        self.assertNotEqual(list(jsonschema.Draft7Validator(plain).iter_errors(with_names)), [])

    def test_tool_writes_the_package_schema_and_names_choices(self):
        out = self.path("schema.json")
        self.assertRuns("schema", "--names", NAMES, out)
        with io.open(out, encoding="utf-8") as f:
            written = json.load(f)
        with io.open(NAMES, encoding="utf-8") as f:
            self.assertEqual(written, support.q.document_schema(json.load(f)))
        damage_body = written["definitions"]["detail"]["allOf"][0]["then"]["properties"]["body"]
        choices = damage_body["properties"]["elemType"]["anyOf"]
        self.assertIn({"const": 1, "title": "fire"}, choices)
        self.assertEqual(choices[-1]["maximum"], 255)  # a code with no name stays valid

    def test_a_document_naming_its_schema_imports_as_one_that_does_not(self):
        example = self.path("example.gz")
        self.assertRuns("import", EXAMPLE, example)
        plain, named = self.path("plain.json"), self.path("named.json")
        self.assertRuns("export", example, plain)
        self.assertRuns("export", example, named, "--schema", "actions.schema.json")
        with io.open(plain, encoding="utf-8") as f:
            plain_text = f.read()
        with io.open(named, encoding="utf-8") as f:
            named_text = f.read()
        self.assertTrue(plain_text.startswith('{"format": 2, "actions": ['))
        self.assertEqual(named_text, plain_text.replace(
            '{"format"', '{"$schema": "actions.schema.json", "format"', 1))
        again = self.path("again.gz")
        self.assertRuns("import", named, again)
        self.assertEqual(gunzip(again), gunzip(example))


if __name__ == "__main__":
    unittest.main()
