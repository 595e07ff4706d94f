"""import: writes an action file from its JSON form, streamed: the JSON is decoded one action
at a time, each checked and made into an Action object, and the package's writer compresses
them into a temporary file that the file-replacing rules give to the output when complete."""
from __future__ import print_function, division

import codecs
import io
import json
import os
import re

from . import jsonform
from .jsonform import BadInput, Where, integer, member, \
    refuse_unknown_keys, require_list, require_object
from .module import load_files, load_native

ACTIONS_KEY = "actions"
DETAILS_KEY = "details"
HEADER_KEY = "header"
BODY_KEY = "body"
STATS_KEY = "stats"
PROGRESS_EVERY = 4096


class ActionSource(object):
    """The actions of a JSON document {"actions": [...]} read from a binary file object, decoded
    one at a time from a window of the text that holds about one action: memory stays flat in
    the document's size. Iterating raises BadInput for text that is not such a document;
    `position` (characters decoded) and `size` (the file's size in bytes, 0 when unknown)
    tell how far the decoding is; `count` how many actions were given."""

    _SPACE = re.compile(r"\s*")
    _OPENING = ("{", '"%s"' % ACTIONS_KEY, ":", "[")

    def __init__(self, stream):
        self._stream = stream
        self._decoder = codecs.getincrementaldecoder("utf-8")() if str is not bytes else None
        self._text = self._empty = "" if str is not bytes else b""
        self._at = 0  # the current position in _text
        self._base = 0  # characters dropped in front of _text
        self._ended = False
        self.size = _size_of(stream)
        self.count = 0

    @property
    def position(self):
        return self._base + self._at

    def __iter__(self):
        try:
            for action in self._actions():
                self.count += 1
                yield action
        except RuntimeError as error:  # RecursionError on Python 3
            raise BadInput("actions[%d]: nested too deeply to be read (%s)"
                           % (self.count, error))

    def _actions(self):
        for token in self._OPENING:
            if not self._expect(token):
                raise BadInput('expected a JSON object with the one member "%s": a list of '
                               'actions' % ACTIONS_KEY)
        if self._expect("]"):
            self._expect_end()
            return
        while True:
            yield self._decode()
            between = _BETWEEN_VALUES.match(self._text, self._at)
            if between:  # most actions: the comma and the next one's start are in the window
                self._at = between.end()
                continue
            if self._expect("]"):
                break
            if not self._expect(","):
                raise BadInput("not valid JSON: expected ',' or ']' after actions[%d] at "
                               "character %d" % (self.count, self.position))
        self._expect_end()

    def _decode(self):
        """The next JSON value, reading more text while the window may hold only its start."""
        try:  # the window holds the value, which starts at the position: most actions
            value, self._at = _DECODER.raw_decode(self._text, self._at)
            return value
        except ValueError:
            pass
        while True:
            self._expect("")  # the decoder takes no white space in front of a value
            try:
                value, end = _DECODER.raw_decode(self._text, self._at)
            except ValueError as error:  # JSON syntax, or bytes that are not UTF-8
                if self._ended or not _may_be_cut(error, len(self._text)):
                    raise BadInput("not valid JSON in actions[%d]: %s"
                                   % (self.count, _placed(error, self._base)))
                self._read(len(self._text) - self._at)  # the window grows by doubling
                continue
            self._at = end
            return value

    def _expect(self, token):
        """Skips white space; True (and steps over it) when token comes next."""
        while True:
            self._at = self._SPACE.match(self._text, self._at).end()
            if len(self._text) - self._at >= max(len(token), 1) or self._ended:
                break
            self._read()
        if self._text[self._at:self._at + len(token)] != token:
            return False
        self._at += len(token)
        return True

    def _expect_end(self):
        if not self._expect("}") or not self._at_end():
            raise BadInput('expected the end of the document after the list of actions, '
                           'at character %d (the object has the one member "%s")'
                           % (self.position, ACTIONS_KEY))

    def _at_end(self):
        """Skips white space; True when the document ends there."""
        while True:
            self._at = self._SPACE.match(self._text, self._at).end()
            if self._at < len(self._text):
                return False
            if self._ended:
                return True
            self._read()

    def _read(self, at_least=0):
        """Drops the text behind the position and appends a piece of the stream."""
        self._text, self._base, self._at = self._text[self._at:], self._base + self._at, 0
        data = self._stream.read(max(_PIECE, at_least))
        if not data:
            self._ended = True
        if self._decoder is None:
            self._text += data
            return
        try:
            self._text += self._decoder.decode(data, final=not data)
        except UnicodeDecodeError as error:
            raise BadInput("not UTF-8 text (%s, near character %d)"
                           % (error.reason, self._base + len(self._text)))


_DECODER = json.JSONDecoder()
# A comma between two values, with the next value's first character in the window.
_BETWEEN_VALUES = re.compile(r"\s*,\s*(?=\S)")
_PIECE = 1 << 16
_CHAR = re.compile(r"\(char (\d+)")


def _may_be_cut(error, window):
    """True when a decoding error may come from the window ending inside the value: it lies
    at the window's end, or is a string that never ends."""
    if isinstance(error, UnicodeDecodeError):  # Python 2 decodes a string once it has ended
        return False
    position = getattr(error, "pos", None)
    if position is None:
        found = _CHAR.search(str(error))
        position = int(found.group(1)) if found else window
    return position >= window - 16 or str(error).startswith("Unterminated string")


def _placed(error, base):
    """The decoder's message with its position counted from the document's start."""
    message = str(error).split(": line ", 1)[0]
    position = getattr(error, "pos", None)
    if position is None:
        found = _CHAR.search(str(error))
        position = int(found.group(1)) if found else None
    return message if position is None else "%s at character %d" % (message, base + position)


def _size_of(stream):
    try:
        return os.fstat(stream.fileno()).st_size
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        return 0


class ActionBuilder(object):
    """Makes Action objects from their JSON form, refusing (BadInput) any value the file
    cannot hold, with the action and the field named (the checks are jsonform's)."""

    def __init__(self, layout):
        q = layout.q
        self.layout = layout
        self.q = q
        common = [name for name, _ in layout.head_fields] + [t for t, _ in layout.texts]
        self.plain_keys = frozenset(common + [DETAILS_KEY])
        self.spell_keys = frozenset(common + [DETAILS_KEY] + [n for n, _ in
                                                               layout.trailer_fields])
        self.action_type_kind = layout.head.kinds[layout.action_type]
        self.detail_header_keys = _names(layout.detail_header.fields)
        self.detail_keys = {False: frozenset([HEADER_KEY, BODY_KEY]),
                            True: frozenset([HEADER_KEY, BODY_KEY, STATS_KEY])}
        self.body_keys = dict((number, _names(kind.shape.fields))
                              for number, kind in layout.kinds.items())
        self.stat_keys = _names(layout.stat.fields)
        # The fields an Action takes as they stand: the counts follow what they count.
        self.settable = [name for name in layout.head.names if name not in layout.counts]
        # The fast way: the plain JSON form (most actions) made natively, in one call; any
        # other form, and any value the file cannot hold, goes the checked way.
        self._from_json = load_native()._action_from_json
        self.body_classes = {number: getattr(q, name) for number, name in (
            (q.QN4T_GENERIC_ACTION_DAMAGE, "Damage"), (q.QN4T_GENERIC_ACTION_STATMOD, "StatMod"),
            (q.QN4T_GENERIC_ACTION_HEALING, "Healing"))}

    def action(self, index, action):
        """(the Action, the number of bytes it takes in the file)."""
        made = self._from_json(action)
        return made if made is not None else self._checked(index, action)

    def _checked(self, index, action):
        """The action through jsonform's checks, which name the field of any refusal."""
        layout = self.layout
        where = Where(index, action)
        require_object(action, where, "")
        spell = layout.is_spell(integer(action, layout.action_type, self.action_type_kind, where))
        refuse_unknown_keys(action, self.spell_keys if spell else self.plain_keys, where, "")
        code = jsonform.spell_code(action, layout.spell_code, layout.spell_code_size,
                                   where) if spell else None
        values = dict(zip(layout.head.names, jsonform.integers(action, layout.head, where)))
        fields = dict((name, values[name]) for name in self.settable)
        size = layout.head_size
        for name, length_field in layout.texts:
            length = values[length_field]
            data = jsonform.text(action, name, length, where)
            fields[name] = data + b"\0" * (length - len(data))  # the padding, as in the file
            size += length
        if spell:
            fields[layout.spell_code] = code
            fields.update(zip(layout.trailer.names, jsonform.integers(action, layout.trailer,
                                                                      where)))
            size += layout.trailer_size
        details = require_list(member(action, DETAILS_KEY, where, ""), where, DETAILS_KEY)
        count = values[layout.detail_count]
        if len(details) != count:
            raise BadInput("%s: %s is %d but %d details follow"
                           % (where(DETAILS_KEY), layout.detail_count, count, len(details)))
        made = []
        for number, detail in enumerate(details):
            made.append(self._detail(detail, where, "%s[%d]" % (DETAILS_KEY, number)))
            size += made[-1][1]
        fields[DETAILS_KEY] = [detail for detail, _ in made]
        return self.q.Action(**fields), size

    def _detail(self, detail, where, path):
        layout = self.layout
        require_object(detail, where, path)
        head = require_object(member(detail, HEADER_KEY, where, path + "."), where,
                              path + "." + HEADER_KEY)
        prefix = path + "." + HEADER_KEY + "."
        refuse_unknown_keys(head, self.detail_header_keys, where, prefix)
        header = dict(zip(layout.detail_header.names,
                          jsonform.integers(head, layout.detail_header, where, prefix)))
        type_number = header[layout.detail_type]
        kind = layout.kinds.get(type_number)
        if kind is None:
            raise BadInput("%s: %d is not a detail kind this tool writes (%s)"
                           % (where(prefix + layout.detail_type), type_number,
                              layout.kind_list()))
        refuse_unknown_keys(detail, self.detail_keys[kind.has_stats], where, path + ".")
        body_path = path + "." + BODY_KEY
        body_json = require_object(member(detail, BODY_KEY, where, path + "."), where, body_path)
        refuse_unknown_keys(body_json, self.body_keys[type_number], where, body_path + ".")
        body = dict(zip(kind.shape.names, jsonform.integers(body_json, kind.shape, where,
                                                            body_path + ".")))
        size = layout.detail_header.size + kind.shape.size
        if kind.has_stats:
            count = body.pop(kind.entry_count)
            body[STATS_KEY] = self._stats(detail, kind.entry_count, count, where, path)
            size += count * layout.stat.size
        made = self.q.Detail(type=type_number, length=header[layout.detail_length],
                             body=self.body_classes[type_number](**body))
        return made, size

    def _stats(self, detail, count_field, count, where, path):
        layout, stat_class = self.layout, self.q.Stat
        stats_path = path + "." + STATS_KEY
        stats = require_list(member(detail, STATS_KEY, where, path + "."), where, stats_path)
        if len(stats) != count:
            raise BadInput("%s: %s is %d but %d stat entries follow"
                           % (where(stats_path), count_field, count, len(stats)))
        made = []
        for number, entry in enumerate(stats):
            entry_path = "%s[%d]" % (stats_path, number)
            require_object(entry, where, entry_path)
            refuse_unknown_keys(entry, self.stat_keys, where, entry_path + ".")
            made.append(stat_class(**dict(zip(layout.stat.names, jsonform.integers(
                entry, layout.stat, where, entry_path + ".")))))
        return made


def _names(fields):
    return frozenset(name for name, _ in fields)


def write_action_file(layout, source, target, inputs=(), progress=None, threads=None):
    """Writes the actions of an ActionSource to target (a path, or a binary file object such as
    standard output) by the package's file-replacing rules: on any failure target is left as
    it was and the temporary file is gone. inputs: the files target must not be. threads: as
    write_actions takes them. Returns the number of uncompressed bytes. Raises BadInput,
    OutputIsInput, IOError/OSError."""
    builder = ActionBuilder(layout)
    written = [0]

    def actions():
        for index, action in enumerate(source):
            made, size = builder.action(index, action)
            written[0] += size
            yield made
            if progress and (index + 1) % PROGRESS_EVERY == 0:
                progress(source.position, source.size)

    with load_files().writing(target, inputs) as out:
        layout.q.write_actions(out, actions(), threads)
    return written[0]
