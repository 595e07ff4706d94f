"""import: writes an action file from its JSON document, streamed: the JSON is decoded one
action at a time and each is made into an Action by the package's document form
(qn4tGenericActionLoader._form), which checks every value. Every refusal of the run is
gathered (up to a cap), placed by line and column; nothing is written when there is one."""
from __future__ import print_function, division

import codecs
import io
import json
import os
import re

from .idset import IdSet
from .module import load_files, load_native

PROGRESS_EVERY = 4096
MOST_PROBLEMS = 50  # refusals reported in one run; the rest are counted
REPEATS_SHOWN = 20  # repeated actionIDs listed one by one; the rest are counted
ACTION_ID = "actionID"


class BadInput(Exception):
    """JSON the tool refuses: the message says where and what, one refusal per line."""


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


class ActionSource(object):
    """The actions of a JSON document {"format": 2, "actions": [...]} (or {"actions": [...]},
    the form written before the format member) read from a binary file object, decoded one
    at a time from a window of the text that holds about one action: memory stays flat in
    the document's size. Iterating yields (index, action dict) and raises BadInput for text
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
        return "%s, line %d, column %d" % (self.name, line, column)

    def where(self, parts):
        """The place of a value of the action last yielded, by its path's parts."""
        text = self._text[self._action_start - self._base:self._at]
        return self.placed(self._action_start + _locate(text, parts))

    def syntax_error(self, message, position):
        line_text, column = self._line_text(position)
        if len(line_text) > 160:  # show the part of a long line around the mistake
            cut = max(column - 80, 0)
            line_text, column = line_text[cut:cut + 160], column - cut
        return BadInput("%s: %s\n    %s\n    %s^" % (self.placed(position), message,
                                                   line_text.expandtabs(1), " " * column))

    # ---- reading ----

    def __iter__(self):
        try:
            for action in self._actions():
                yield self.count, action
                self.count += 1
        except RuntimeError as error:  # RecursionError on Python 3
            raise BadInput("%s: actions[%d]: nested too deeply to be read (%s)"
                           % (self.placed(self.position), self.count, error))

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
                start = self.position
                value = self._decode_value(plain=True)
                if value != 2 or isinstance(value, bool):
                    raise self.syntax_error("format %s is not one this tool reads (2)"
                                            % json.dumps(value), start)
                self.earlier_form = False
                if not self._expect(u","):
                    raise self.syntax_error('expected "actions" after the format',
                                            self.position)
                continue
            if key != u"actions":
                raise self.syntax_error('unknown member "%s" (the document has "format" and '
                                        '"actions")' % key, self.position)
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
                position = _error_position(error, len(self._text))
                if not self._ended and _may_be_cut(error, position, len(self._text)):
                    self._read(len(self._text) - self._at)  # the window grows by doubling
                    continue
                raise self.syntax_error("not valid JSON: %s" % str(error).split(":")[0],
                                        self._base + position)
            self._at = end
            return value

    def _duplicate(self, key):
        start = self.position
        text = self._text[self._at:]
        found = _find_duplicate(text, key)
        return self.syntax_error('the key "%s" is given twice in one object' % key,
                                 start + (found if found is not None else 0))

    def _expect(self, token):
        """Skips white space; True (and steps over it) when token comes next."""
        while True:
            self._at = _SPACE.match(self._text, self._at).end()
            if len(self._text) - self._at >= max(len(token), 1) or self._ended:
                break
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
            raise BadInput("%s: not UTF-8 text (%s) at byte %d of the file"
                           % (self.name, error.reason, self._bytes_read - pending + error.start))
        self._bytes_read += len(data)


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

    def __init__(self, layout, source, note=None, names=None):
        self.q = layout.q
        self.source = source
        self.note = note
        self.names = names  # a CodeNames: names taken where codes are named
        self.problems = []
        self.more = 0
        self.syntax = None  # the BadInput that ended the reading, if any
        self._from_json = load_native()._action_from_json
        from qn4tGenericActionLoader import _form, actions
        self._form = _form
        self._classes = actions._classes(self.q.Action)
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
        into.append("%s: %s: %s" % (self.source.where(problem.parts), label, problem))

    def refusal(self):
        """BadInput listing every refusal, or None."""
        if not self.problems and self.syntax is None:
            return None
        lines = list(self.problems)
        if self.more:
            lines.append("... and %d more" % self.more)
        if self.syntax is not None:
            lines.append(str(self.syntax))
        return BadInput("\n".join(lines))


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
    except (BadInput, IOError, OSError):
        pass  # read without fault the first time: only a file changed meanwhile gets here
    finally:
        close = getattr(source, "close", None)
        if close:
            close()
    return found


def build_actions(layout, source, progress=None, note=None, names=None):
    """(the builder, a generator of the document's Action objects, refused ones left out).
    After the generator ends, builder.refusal() says whether anything was refused. names: a
    CodeNames whose names the document may give in place of codes."""
    builder = ActionBuilder(layout, source, note, names)

    def actions():
        try:
            for index, values in source:
                made = builder.action(index, values)
                if made is not None and not builder.problems:
                    yield made
                if progress and (index + 1) % PROGRESS_EVERY == 0:
                    progress(source.bytes_read, source.size)
        except BadInput as error:  # the text cannot be read on: what was refused before stays
            builder.syntax = error
    return builder, actions()


def write_action_file(layout, source, target, inputs=(), progress=None, note=None,
                      threads=None, again=None, strict=False, names=None):
    """Writes the actions of an ActionSource to target (a path, or a binary file object such as
    standard output) by the package's file-replacing rules: on any failure or refusal target
    is left as it was and the temporary file is gone. target None: check only, write
    nothing. threads: as write_actions takes them. Repeated actionIDs are warned of through
    note, naming both places (again: makes a new source of the same input to find the first
    action of an ID; see RepeatedIds.warnings); strict refuses them. names: a CodeNames
    whose names the input may give in place of codes. Returns the number of actions. Raises
    BadInput, OutputIsInput, IOError/OSError."""
    builder, actions = build_actions(layout, source, progress, note, names)
    if target is None:
        for _ in actions:
            pass
        _finish(builder, note, again, strict)
    else:
        with load_files().writing(target, inputs) as out:
            layout.q.write_actions(out, actions, threads)
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
        raise BadInput("\n".join(refused + ["repeated actionIDs refused (--strict)"]))
    for line in lines:
        if note:
            note(line)
