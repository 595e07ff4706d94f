"""Actions from documents: the one importer of the JSON document, the CSV files and the
SQLite tables. A source yields each action's dict (the document form) and places a value
by its path; ActionBuilder makes each dict an Action through the document form, which checks
every value, and gathers every refusal of the run (up to a cap), each on a line naming its
place (file, line and column; or file, row and column), the action and the field. The JSON
document is read streamed, one action at a time, so memory stays flat in its size.

    import qn4tGenericActionLoader as q
    actions = list(q.read_json("actions.json"))   # InputRefused lists every refusal
    q.write_actions("actions.gz", q.read_json("actions.json"))  # written only when all pass
"""
from __future__ import print_function, division

import codecs
import io
import json
import os
import re

import _qn4tGenericActionSupport as _native
from _qn4tGenericActionSupport import FieldValueError
from qn4tGenericActionLoader._message import formatted
from qn4tGenericActionLoader.idset import IdSet

PROGRESS_EVERY = 4096
MOST_PROBLEMS = 50  # refusals reported in one run; the rest are counted
REPEATS_SHOWN = 20  # repeated actionIDs listed one by one; the rest are counted
ACTION_ID = "actionID"


class InputRefused(ValueError):
    """A document, CSV files or tables refused: the message says where and what, one refusal
    per line."""


class FieldValueRefused(InputRefused, FieldValueError):
    """Input among whose refusals is a value its field cannot hold: caught as well as the
    FieldValueError the record classes raise for the same value."""




class _DuplicateKey(ValueError):
    pass


def _pairs(pairs):
    """A JSON object as a dict, refusing a key given twice (which would hide the first)."""
    made = dict(pairs)
    if len(made) != len(pairs):
        seen = set()
        for key, _ in pairs:
            if key in seen:
                raise _DuplicateKey(key)
            seen.add(key)
    return made


_DECODER = json.JSONDecoder(object_pairs_hook=_pairs)
_PLAIN_DECODER = json.JSONDecoder()
_SPACE = re.compile(r"\s*")
# A comma between two values, with the next value's first character in the window.
_BETWEEN_VALUES = re.compile(r"\s*,\s*(?=[^\s\]])")
_FORMAT_BEHIND = re.compile(r'\s*,\s*"format"')
_PIECE = 1 << 16
_CHAR = re.compile(r"\(char (\d+)")
_BOM = u"\ufeff"
_TOO_MANY_DIGITS = "integer string conversion"  # in Python 3's refusal of a long number
# A string (stepped over) or a number, its digits in group 1 when it is an integer.
_NUMBER_OR_STRING = re.compile(r'"(?:[^"\\]|\\.)*"|-?([0-9]+)(?![0-9.eE])|-?[0-9.]+[eE]?')


class JsonSource(object):
    """The actions of a JSON document {"format": 2, "actions": [...]} (or {"actions": [...]},
    the form written before the format member) read from a binary file object, decoded one
    at a time from a window of the text that holds about one action: memory stays flat in
    the document's size. Iterating yields (index, action dict) and raises InputRefused for text
    that is not such a document; `earlier_form` says which form it is once the first action
    is yielded; `where(parts)` places a value of the action last yielded."""

    def __init__(self, stream, name="the JSON"):
        self.name = name
        self._stream = stream
        self._decoder = codecs.getincrementaldecoder("utf-8")()
        self._text = u""
        self._at = 0          # the current position in _text
        self._base = 0        # characters dropped in front of _text
        self._lines = 0       # line breaks in the dropped characters
        self._line_start = 0  # where the line holding _base starts (a character offset)
        self._bytes_read = 0
        self._ended = False
        self._action_start = 0
        self.earlier_form = True
        self._most_digits = _most_digits()
        self._digit_run = re.compile(r"(?<![0-9])[0-9]{%d,}" % (self._most_digits + 1))
        self.size = _size_of(stream)
        self.count = 0

    @property
    def bytes_read(self):
        return self._bytes_read

    def close(self):
        self._stream.close()

    @property
    def position(self):
        return self._base + self._at

    # ---- places ----

    def line_column(self, position):
        """(line, column), both from 1, of a character offset inside the window."""
        at = max(position - self._base, 0)
        line = self._lines + self._text.count(u"\n", 0, at) + 1
        newline = self._text.rfind(u"\n", 0, at)
        start = self._base + newline + 1 if newline >= 0 else self._line_start
        return line, position - start + 1

    def _line_text(self, position):
        at = max(position - self._base, 0)
        start = self._text.rfind(u"\n", 0, at) + 1
        end = self._text.find(u"\n", at)
        return self._text[start:end if end >= 0 else len(self._text)], at - start

    def placed(self, position):
        line, column = self.line_column(position)
        return formatted("%s, line %d, column %d", self.name, line, column)

    def where(self, parts):
        """The place of a value of the action last yielded, by its path's parts."""
        text = self._text[self._action_start - self._base:self._at]
        return self.placed(self._action_start + _locate(text, parts))

    def syntax_error(self, message, position):
        line_text, column = self._line_text(position)
        if len(line_text) > 160:  # show the part of a long line around the mistake
            cut = max(column - 80, 0)
            line_text, column = line_text[cut:cut + 160], column - cut
        return InputRefused(formatted("%s: %s\n    %s\n    %s^", self.placed(position),
                                  message, line_text.expandtabs(1), " " * column))

    # ---- reading ----

    def __iter__(self):
        try:
            for action in self._actions():
                yield self.count, action
                self.count += 1
        except RuntimeError as error:  # RecursionError on Python 3
            raise InputRefused(formatted("%s: actions[%d]: nested too deeply to be read (%s)",
                                     self.placed(self.position), self.count, error))

    def _opening(self):
        """Steps over the document's start up to its list of actions."""
        self._fill(1)
        if self._text.startswith(_BOM):
            self._at = 1
            self._line_start = 1
        if not self._expect(u"{"):
            raise self.syntax_error('expected a JSON object {"format": 2, "actions": [...]}',
                                    self.position)
        while True:
            self._expect(u"")
            key_start = self.position
            key = self._decode_value(plain=True)
            if not isinstance(key, type(u"")) or not self._expect(u":"):
                raise self.syntax_error('expected "format" or "actions" and a colon',
                                        self.position)
            if key == u"$schema":  # where an editor finds the form's schema: not read here
                start = self.position
                if not isinstance(self._decode_value(plain=True), type(u"")):
                    raise self.syntax_error('"$schema" names a schema: expected a string',
                                            start)
                if not self._expect(u","):
                    raise self.syntax_error('expected "format" or "actions" after "$schema"',
                                            self.position)
                continue
            if key == u"format":
                if not self.earlier_form:  # as a key given twice inside an action
                    raise self.syntax_error('the key "format" is given twice in one object',
                                            key_start)
                start = self.position
                value = self._decode_value(plain=True)
                if not isinstance(value, int) or isinstance(value, bool) or value != 2:
                    raise self.syntax_error("format %s is not one this tool reads (2)"
                                            % json.dumps(value), start)
                self.earlier_form = False
                if not self._expect(u","):
                    raise self.syntax_error('expected "actions" after the format',
                                            self.position)
                continue
            if key != u"actions":
                raise self.syntax_error(formatted('unknown member "%s" (the document has '
                                                  '"format" and "actions")', key),
                                        self.position)
            if not self._expect(u"["):
                raise self.syntax_error("expected a list of actions", self.position)
            return

    def _actions(self):
        self._opening()
        if self._expect(u"]"):
            self._expect_end()
            return
        while True:
            self._expect(u"")
            self._action_start = self.position
            yield self._decode_value()
            between = _BETWEEN_VALUES.match(self._text, self._at)
            if between:  # most actions: the comma and the next one's start are in the window
                self._at = between.end()
                continue
            if self._expect(u"]"):
                break
            if not self._expect(u","):
                raise self.syntax_error("expected ',' or ']' after actions[%d]" % self.count,
                                        self.position)
            comma = self.position - 1
            if self._expect(u"]"):
                raise self.syntax_error("a comma after the last action (remove it)", comma)
        self._expect_end()

    def _decode_value(self, plain=False):
        """The next JSON value, reading more text while the window may hold only its start."""
        decoder = _PLAIN_DECODER if plain else _DECODER
        self._expect(u"")  # the decoder takes no white space in front of a value
        while True:
            try:
                value, end = decoder.raw_decode(self._text, self._at)
            except _DuplicateKey as duplicate:
                raise self._duplicate(duplicate.args[0])
            except ValueError as error:
                if _TOO_MANY_DIGITS in str(error):  # Python 3's own limit: placed here
                    self._refuse_long_number(self._at, len(self._text))
                position = _error_position(error, len(self._text))
                if not self._ended and _may_be_cut(error, position, len(self._text)):
                    self._read(len(self._text) - self._at)  # the window grows by doubling
                    continue
                raise self.syntax_error("not valid JSON: %s" % str(error).split(":")[0],
                                        self._base + position)
            self._refuse_long_number(self._at, end)
            self._at = end
            return value

    def _refuse_long_number(self, start, end):
        """Refuses, where it stands, an integer with more digits than are read: on both
        hosts alike, before Python 3 refuses it without a place or Python 2 makes it."""
        if end - start <= self._most_digits:  # too short to hold one: most values
            return
        most = self._most_digits
        if not self._digit_run.search(self._text, start, end):
            return
        for number in _NUMBER_OR_STRING.finditer(self._text, start, end):
            digits = number.group(1)
            if digits and len(digits) > most:
                raise self.syntax_error(formatted("an integer of %d digits, more than the %d "
                                                  "read (no field holds it)", len(digits),
                                                  most), self._base + number.start())

    def _duplicate(self, key):
        start = self.position
        text = self._text[self._at:]
        found = _find_duplicate(text, key)
        return self.syntax_error(formatted('the key "%s" is given twice in one object', key),
                                 start + (found if found is not None else 0))

    def _expect(self, token):
        """Skips white space; True (and steps over it) when token comes next."""
        while True:
            self._at = _SPACE.match(self._text, self._at).end()
            if len(self._text) - self._at >= max(len(token), 1) or self._ended:
                break
            # Only the last character read is still wanted (a comma a refusal points at):
            # white space read on is dropped, or a run of it is copied at every piece.
            self._action_start = max(self._action_start, self.position - 1)
            self._read()
        if self._text[self._at:self._at + len(token)] != token:
            return False
        self._at += len(token)
        return True

    def _expect_end(self):
        if _FORMAT_BEHIND.match(self._text, self._at):
            raise self.syntax_error('"format" comes before "actions" (the form of the actions '
                                    'must be known before they are read)', self.position)
        if not self._expect(u"}") or not self._at_end():
            raise self.syntax_error("expected the end of the document after the list of "
                                    "actions", self.position)

    def _at_end(self):
        while True:
            self._at = _SPACE.match(self._text, self._at).end()
            if self._at < len(self._text):
                return False
            if self._ended:
                return True
            self._action_start = self.position  # nothing behind is wanted any more
            self._read()

    def _fill(self, at_least):
        while len(self._text) < at_least and not self._ended:
            self._read()

    def _read(self, at_least=0):
        """Drops the text behind the action being decoded and appends a piece of the
        stream."""
        keep = min(self._at, max(self._action_start - self._base, 0)) if self._at else 0
        dropped = self._text[:keep]
        breaks = dropped.count(u"\n")
        if breaks:
            self._lines += breaks
            self._line_start = self._base + dropped.rfind(u"\n") + 1
        self._text, self._base, self._at = self._text[keep:], self._base + keep, self._at - keep
        data = self._stream.read(max(_PIECE, at_least))
        if not data:
            self._ended = True
        pending = len(self._decoder.getstate()[0])  # bytes of a character cut by the piece
        try:
            self._text += self._decoder.decode(data, final=not data)
        except UnicodeDecodeError as error:
            raise InputRefused(formatted("%s: not UTF-8 text (%s) at byte %d of the file",
                                     self.name, error.reason,
                                     self._bytes_read - pending + error.start))
        self._bytes_read += len(data)


def _most_digits():
    from qn4tGenericActionLoader._form import most_digits
    return most_digits()


_BRACKET_OR_STRING = re.compile(r'"(?:[^"\\]|\\.)*"|[\[\]{}]')


def deepest_place(text):
    """(line, column, depth) of the first place where a JSON text nests deepest: where a
    document nested too deeply to be read is shown."""
    depth = deepest = at = 0
    for found in _BRACKET_OR_STRING.finditer(text):
        bracket = found.group(0)
        if bracket in u"[{":
            depth += 1
            if depth > deepest:
                deepest, at = depth, found.start()
        elif bracket in u"]}":
            depth -= 1
    line = text.count(u"\n", 0, at) + 1
    return line, at - (text.rfind(u"\n", 0, at) + 1) + 1, deepest


def _error_position(error, window):
    position = getattr(error, "pos", None)
    if position is None:
        found = _CHAR.search(str(error))
        position = int(found.group(1)) if found else window
    return position


def _may_be_cut(error, position, window):
    """True when a decoding error may come from the window ending inside the value."""
    return position >= window - 16 or str(error).startswith("Unterminated string")


def _size_of(stream):
    try:
        return os.fstat(stream.fileno()).st_size
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        return 0


# ---- finding a value in an action's text, to place a refusal ------------------------------

def _skip_space(text, at):
    return _SPACE.match(text, at).end()


def _locate(text, parts):
    """The offset in `text` (one action's JSON) of the value that `parts` names (keys and
    list indexes); as deep as the path can be followed."""
    at = _skip_space(text, 0)
    try:
        for part in parts:
            found = _member_at(text, at, part)
            if found is None:
                break
            at = found
    except ValueError:
        pass
    return at


def _member_at(text, at, part):
    """The offset of the value of member `part` (a key of an object or an index of a list)
    of the value at `at`, or None."""
    opening = text[at:at + 1]
    if opening not in (u"{", u"["):
        return None
    at = _skip_space(text, at + 1)
    index = 0
    while at < len(text) and text[at] not in u"}]":
        if opening == u"{":
            key, at = _PLAIN_DECODER.raw_decode(text, at)
            at = _skip_space(text, at)
            at = _skip_space(text, at + 1)  # the colon
            if key == part:
                return at
        elif index == part:
            return at
        _, at = _PLAIN_DECODER.raw_decode(text, at)
        at = _skip_space(text, at)
        if text[at:at + 1] == u",":
            at = _skip_space(text, at + 1)
        index += 1
    return None


def _find_duplicate(text, key):
    """The offset of the second occurrence of `key` in one object of the text, or None."""
    pattern = re.compile(u'"%s"\\s*:' % re.escape(key))
    stack = []
    at = 0
    while at < len(text):
        char = text[at]
        if char == u'"':
            match = pattern.match(text, at)
            _, end = _PLAIN_DECODER.raw_decode(text, at)
            if match and stack:
                if key in stack[-1]:
                    return at
                stack[-1].add(key)
            at = end
            continue
        if char == u"{":
            stack.append(set())
        elif char == u"}":
            if stack:
                stack.pop()
            if not stack:
                return None
        at += 1
    return None


# ---- making the actions ---------------------------------------------------------------------

class ActionBuilder(object):
    """Makes Action objects from the document form, gathering every refusal as a line that
    names the place (file, line, column), the action (index, actionID), the field, the value
    and its range."""

    def __init__(self, source, note=None, names=None):
        from qn4tGenericActionLoader import _form, actions
        self.source = source
        self.note = note
        self.names = names  # a CodeNames: names taken where codes are named
        self.problems = []
        self.more = 0
        self.field_value = False  # a refused value was out of its field's range
        self.syntax = None  # the InputRefused that ended the reading, if any
        self._from_json = _native._action_from_json
        self._form = _form
        self._classes = actions._classes(actions.Action)
        self.repeats = RepeatedIds()

    def action(self, index, values):
        """The Action, or None when it is refused (its problems are gathered)."""
        if self.names and isinstance(values, dict):
            values, unknown = self.names.to_codes(values)
            for problem in unknown:
                self._add(index, values, problem, self.problems)
            if unknown:
                return None
        made = self._made(index, values)
        if made is not None and self.repeats.seen.add(made.actionID):
            self.repeats.add(index, made.actionID, self.source.where(
                (ACTION_ID,) if ACTION_ID in values else ()))
        return made

    def _made(self, index, values):
        if not self.source.earlier_form:
            made = self._from_json(values)
            if made is not None:
                return made[0]
        try:
            action, notes = self._form.action_from_dict(self._classes, values,
                                                        self.source.earlier_form)
        except self._form.FormError as error:
            self.field_value = self.field_value or isinstance(error, FieldValueError)
            for problem in error.problems:
                self._add(index, values, problem, self.problems)
            return None
        if notes and self.note:
            for problem in notes:
                lines = []
                self._add(index, values, problem, lines)
                self.note("note: " + lines[0])
        return action

    def _add(self, index, values, problem, into):
        if len(into) >= MOST_PROBLEMS and into is self.problems:
            self.more += 1
            return
        label = "actions[%d]" % index
        action_id = values.get("actionID") if isinstance(values, dict) else None
        if isinstance(action_id, int) and not isinstance(action_id, bool):
            label += " (actionID %d)" % action_id
        into.append(formatted("%s: %s: %s", self.source.where(problem.parts), label, problem))

    def refusal(self):
        """InputRefused listing every refusal, or None."""
        if not self.problems and self.syntax is None:
            return None
        lines = list(self.problems)
        if self.more:
            lines.append("... and %d more" % self.more)
        if self.syntax is not None:
            lines.append(str(self.syntax))
        return (FieldValueRefused if self.field_value else InputRefused)("\n".join(lines))


class RepeatedIds(object):
    """The actions that repeat an earlier action's actionID, which the format allows but
    which is mostly a copied line whose ID was not changed. `seen` is a compact set of the
    IDs (memory about flat in the number of actions); the first REPEATS_SHOWN repeats are
    kept with their places, the rest counted. Where the first action of each ID is, a second
    reading finds (first_places)."""

    def __init__(self):
        self.seen = IdSet()
        self.shown = []  # (index, actionID, place) of a repeat
        self.count = 0

    def add(self, index, action_id, place):
        self.count += 1
        if len(self.shown) < REPEATS_SHOWN:
            self.shown.append((index, action_id, place))

    def warnings(self, again=None):
        """One line per repeat shown, naming both places, then "... and N more". again: makes
        a new source of the same document, read up to the first action of each ID shown;
        None where the input cannot be read twice (standard input)."""
        first = first_places(again, set(action_id for _, action_id, _ in self.shown))
        lines = []
        for index, action_id, place in self.shown:
            earlier = first.get(action_id)
            lines.append("%s: warning: actions[%d] has the actionID %d of %s" % (
                place, index, action_id, "actions[%d] (%s)" % earlier if earlier
                else "an earlier action"))
        if self.count > len(self.shown):
            lines.append("warning: ... and %d more actions with a repeated actionID"
                         % (self.count - len(self.shown)))
        return lines


def first_places(again, wanted):
    """{actionID: (index, place)} of the first action with each ID in wanted, read from a
    new source that again() makes; {} without again or when the input cannot be read now."""
    found = {}
    if again is None or not wanted:
        return found
    try:
        source = again()
    except (IOError, OSError):
        return found
    try:
        for index, values in source:
            action_id = values.get(ACTION_ID, 0) if isinstance(values, dict) else None
            if action_id in wanted and action_id not in found:
                found[action_id] = (index, source.where(
                    (ACTION_ID,) if ACTION_ID in values else ()))
                if len(found) == len(wanted):
                    break
    except (InputRefused, IOError, OSError):
        pass  # read without fault the first time: only a file changed meanwhile gets here
    finally:
        close = getattr(source, "close", None)
        if close:
            close()
    return found


def build_actions(source, progress=None, note=None, names=None):
    """(the builder, a generator of the source's Action objects, refused ones left out).
    After the generator ends, builder.refusal() says whether anything was refused.
    progress(bytes read, size) is called now and then; note(line) says each note of the
    earlier form; names: a CodeNames whose names the document may give in place of codes."""
    builder = ActionBuilder(source, note, names)

    def actions():
        try:
            for index, values in source:
                made = builder.action(index, values)
                if made is not None and not builder.problems:
                    yield made
                if progress and (index + 1) % PROGRESS_EVERY == 0:
                    progress(source.bytes_read, source.size)
        except InputRefused as error:  # the text cannot be read on: what was refused before stays
            if getattr(error, "before_any_action", False):
                raise  # the rows cannot be read: refused as a whole, before any action
            if getattr(error, "alone", False):  # found by reading every row first
                builder.problems, builder.more, builder.field_value = [], 0, False
            builder.syntax = error
    return builder, actions()


def actions_of(source, progress=None, note=None, again=None, strict=False, names=None):
    """The Action objects of a source (JsonSource, tables.TableSource) in order; once one is
    refused none follows, the rest are checked, and InputRefused (FieldValueRefused for a
    value out of its field's range) lists every refusal at the end. Written through
    write_actions, the file is then not replaced. Repeated actionIDs are warned of through
    note, naming both places (again: makes a new source of the same input to find the first
    action of an ID; see RepeatedIds.warnings); strict refuses them. names: a CodeNames
    whose names the input may give in place of codes."""
    builder, actions = build_actions(source, progress, note, names)
    for action in actions:
        yield action
    _finish(builder, note, again, strict)


def read_json(source, name=None, progress=None, note=None):
    """The Action objects of a JSON document in the form export writes ({"format": 2,
    "actions": [...]}, or the earlier form without "format"), read streamed from source (a
    path or a binary file object) as actions_of() gives them. name: how refusals name the
    input (by default the path, or "the JSON")."""
    if isinstance(source, (str, type(u""))):
        with io.open(source, "rb") as stream:
            for action in actions_of(JsonSource(stream, name or source), progress, note):
                yield action
    else:
        for action in actions_of(JsonSource(source, name or "the JSON"), progress, note):
            yield action


def json_blocks(stream, indent=None):
    """The JSON text of the actions of an action file read from the binary file object stream,
    as write_json writes them (UTF-8 bytes; each action after ",\n" but the first, and indent
    spaces), a block of whole actions at a time, made natively without an object per value.
    The iterator's `offset` is the uncompressed offset behind the last action given and
    `actions` their number; a damaged file raises DamagedFileError after the block holding
    every complete action before the damage."""
    return _native._export_json(stream, 1, indent)


_WRITE_EVERY = 1 << 16  # characters gathered before one write


class _Gathered(object):
    """Text pieces gathered into writes of about _WRITE_EVERY characters, UTF-8 encoded."""

    def __init__(self, out):
        self.out = out
        self.pieces = []
        self.size = 0

    def add(self, piece):
        self.pieces.append(piece)
        self.size += len(piece)
        if self.size >= _WRITE_EVERY:
            self.flush()

    def flush(self):
        if self.pieces:
            self.out.write(u"".join(self.pieces).encode("utf-8"))
            self.pieces, self.size = [], 0


def write_json(out, actions, indent=None, schema=None, names=None, blocks=None):
    """Writes the JSON document of the actions (an iterable of Action) to the binary file
    object out, as read_json reads it: one action per line, or indented by indent spaces per
    level; memory holds one action and a block of text. schema: the URI of the document's
    "$schema" member, or None for none; names: a CodeNames whose names are written in place
    of the codes they name. blocks: the same actions' text as json_blocks(stream, indent)
    gives it, written in place of the actions where no names are asked for (the bytes are
    the same). Returns whether any action was written; what the actions raise passes
    through."""
    from qn4tGenericActionLoader import _form
    out.write((_form.document_start(schema) + "\n").encode("utf-8"))
    if blocks is not None and not names:
        empty = _write_blocks(blocks, out)
    else:
        empty = _write_objects(actions, out, indent, names)
    out.write(b"]}\n" if empty else b"\n]}\n")
    return not empty


def _write_blocks(blocks, out):
    """Writes the blocks of the actions' text; whether there were none."""
    empty = True
    for block in blocks:
        out.write(block)
        empty = False
    return empty


def _write_objects(actions, out, indent, names=None):
    """Writes the text of the Action objects, a detail's stat entries walked as they are
    written (made dicts, to be named, where names are given); whether there were none."""
    from qn4tGenericActionLoader import _form
    written = _Gathered(out)
    first = True
    for action in actions:
        written.add(",\n" if not first else "")
        first = False
        written.add(u" " * (indent or 0))
        if names:
            values = names.to_names(_form.action_to_dict(action))
        else:
            values = _form.action_to_dict(action, _form.entries_as_they_are)
        for piece in _form.action_json_pieces(values, indent, 1):
            written.add(piece)
    written.flush()
    return first


def import_actions(source, target, inputs=(), progress=None, note=None, threads=None,
                   again=None, strict=False, names=None):
    """Writes the actions of a source to target (a path, or a binary file object such as
    standard output) by the package's file-replacing rules: on any failure or refusal target
    is left as it was and the temporary file is gone. target None: check only, write
    nothing. threads: as write_actions takes them; again, strict, names: as actions_of takes
    them. Returns the number of actions. Raises InputRefused, OutputIsInput, IOError/OSError."""
    from qn4tGenericActionLoader import _files
    from qn4tGenericActionLoader.actions import write_actions
    builder, actions = build_actions(source, progress, note, names)
    if target is None:
        for _ in actions:
            pass
        _finish(builder, note, again, strict)
    else:
        with _files.writing(target, inputs) as out:
            write_actions(out, actions, threads)
            _finish(builder, note, again, strict)
    return source.count


def _finish(builder, note, again, strict):
    """Raises the refusals of the run; otherwise warns of repeated actionIDs, and under strict
    refuses them."""
    refusal = builder.refusal()
    if refusal:
        raise refusal
    if not builder.repeats.count:
        return
    lines = builder.repeats.warnings(again)
    if strict:
        refused = [line.replace("warning: ", "", 1) for line in lines]
        raise InputRefused("\n".join(refused + ["repeated actionIDs refused (--strict)"]))
    for line in lines:
        if note:
            note(line)
