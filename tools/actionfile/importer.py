"""import: writes an action file from its JSON form through the module's records, one record
object per kind reused for the whole file. The file is written to a temporary file, read back,
and only then given to the output by the package's file-replacing rules."""
from __future__ import print_function, division

import io
import json
import os
import re

from . import jsonform
from .jsonform import BadInput, Where, integer, member, refuse_unknown_keys, require_list, \
    require_object
from .layout import ACTION_TYPE, DETAIL_TYPE, NUM_DETAILS, NUM_STAT_MODS, SPELL_ACTION_TYPE, \
    SPELL_CODE, SPELL_CODE_SIZE
from .module import load_files, module_text
from .rawdata import read_uncompressed

ACTIONS_KEY = "actions"
DETAILS_KEY = "details"
HEADER_KEY = "header"
BODY_KEY = "body"
STATS_KEY = "stats"
PROGRESS_EVERY = 4096


class WriteFailed(Exception):
    """The output file could not be written completely; the message says what went wrong."""


class ActionSource(object):
    """The actions of a JSON file {"actions": [...]}, decoded one at a time so that a large
    file never stands in memory as objects all at once. Iterating raises BadInput for text
    that is not such a document; `position` and `size` tell how far the decoding is."""

    _START = re.compile(r'\s*\{\s*"%s"\s*:\s*\[' % ACTIONS_KEY)
    _SPACE = re.compile(r"\s*")

    def __init__(self, source):
        """Reads the whole of source, a path or a readable binary file object (standard
        input); raises IOError/OSError when it cannot."""
        if hasattr(source, "read"):
            raw = source.read()
        else:
            with io.open(source, "rb") as f:
                raw = f.read()
        if str is bytes:
            self.text = raw  # Python 2 decodes the strings inside as UTF-8 itself
        else:
            try:
                self.text = raw.decode("utf-8")
            except UnicodeDecodeError as error:
                raise BadInput("not UTF-8 text (%s)" % error)
        self.size = len(self.text)
        self.position = 0
        self.count = 0

    def __iter__(self):
        try:
            for action in self._actions():
                self.count += 1
                yield action
        except ValueError as error:  # JSON syntax, or bytes that are not UTF-8
            raise BadInput("not valid JSON: %s" % error)
        except RuntimeError as error:  # RecursionError on Python 3
            raise BadInput("actions[%d]: nested too deeply to be read (%s)"
                           % (self.count, error))

    def _actions(self):
        text, decoder = self.text, json.JSONDecoder()
        start = self._START.match(text)
        if not start:
            raise BadInput('expected a JSON object with the one member "%s": a list of '
                           'actions' % ACTIONS_KEY)
        position = self._skip_space(start.end())
        if text[position:position + 1] == "]":
            position += 1
        else:
            while True:
                action, position = decoder.raw_decode(text, position)
                self.position = position
                yield action
                position = self._skip_space(position)
                separator = text[position:position + 1]
                position = self._skip_space(position + 1)
                if separator == "]":
                    break
                if separator != ",":
                    raise BadInput("not valid JSON: expected ',' or ']' after actions[%d] at "
                                   "character %d" % (self.count, position))
        self._expect_end(self._skip_space(position))

    def _expect_end(self, position):
        if self.text[position:position + 1] != "}" or self._skip_space(position + 1) != \
                self.size:
            raise BadInput('expected the end of the document after the list of actions, '
                           'at character %d (the object has the one member "%s")'
                           % (position, ACTIONS_KEY))

    def _skip_space(self, position):
        return self._SPACE.match(self.text, position).end()


class ActionWriter(object):
    """Writes actions given in their JSON form to a stream, refusing (BadInput) any value the
    file cannot hold. Returns the number of uncompressed bytes each action takes."""

    def __init__(self, layout, stream, scratch_path):
        self.layout = layout
        self.stream = stream
        self.scratch_path = scratch_path
        self.header = layout.header_cls()
        self.detail_header = layout.detail_header.cls()
        self.bodies = dict((number, kind.shape.cls()) for number, kind in layout.kinds.items())
        self.stat = layout.stat.cls()
        common = [name for name, _ in layout.head_fields] + [t for t, _ in layout.texts]
        self.plain_keys = frozenset(common + [DETAILS_KEY])
        self.spell_keys = frozenset(common + [DETAILS_KEY] + [n for n, _ in
                                                               layout.trailer_fields])
        self.action_type_kind = dict(layout.head_fields)[ACTION_TYPE]
        self.detail_header_keys = _names(layout.detail_header.fields)
        self.detail_keys = {False: frozenset([HEADER_KEY, BODY_KEY]),
                            True: frozenset([HEADER_KEY, BODY_KEY, STATS_KEY])}
        self.body_keys = dict((number, _names(kind.shape.fields))
                              for number, kind in layout.kinds.items())
        self.stat_keys = _names(layout.stat.fields)

    def write(self, index, action):
        layout, header = self.layout, self.header
        where = Where(index, action)
        require_object(action, where, "")
        spell = integer(action, ACTION_TYPE, self.action_type_kind, where) == SPELL_ACTION_TYPE
        refuse_unknown_keys(action, self.spell_keys if spell else self.plain_keys, where, "")
        code = jsonform.spell_code(action, SPELL_CODE, where) if spell else None
        if code is not None and not _setter_can_make(code):
            self._load_spell_code(code)  # first: the read replaces every field
        numbers = jsonform.integers(action, layout.head, where)
        layout.head.assign(header, numbers)
        values = dict(zip(layout.head.names, numbers))
        size = layout.head_size
        for name, length_field in layout.texts:
            setattr(header, name, module_text(jsonform.text(action, name, values[length_field],
                                                            where)))
            size += values[length_field]
        if spell:
            if _setter_can_make(code):
                setattr(header, SPELL_CODE, module_text(code.split(b"\0", 1)[0]))
            layout.trailer.assign(header, jsonform.integers(action, layout.trailer, where))
            size += layout.trailer_size
        details = require_list(member(action, DETAILS_KEY, where, ""), where, DETAILS_KEY)
        if len(details) != values[NUM_DETAILS]:
            raise BadInput("%s: %s is %d but %d details follow"
                           % (where(DETAILS_KEY), NUM_DETAILS, values[NUM_DETAILS],
                              len(details)))
        header.write(self.stream)
        for number, detail in enumerate(details):
            size += self._write_detail(detail, where, "%s[%d]" % (DETAILS_KEY, number))
        return size

    def _write_detail(self, detail, where, path):
        layout = self.layout
        require_object(detail, where, path)
        head = require_object(member(detail, HEADER_KEY, where, path + "."), where,
                              path + "." + HEADER_KEY)
        prefix = path + "." + HEADER_KEY + "."
        refuse_unknown_keys(head, self.detail_header_keys, where, prefix)
        layout.detail_header.assign(self.detail_header,
                                    jsonform.integers(head, layout.detail_header, where, prefix))
        type_number = getattr(self.detail_header, DETAIL_TYPE)
        kind = layout.kinds.get(type_number)
        if kind is None:
            raise BadInput("%s: %d is not a detail kind this tool writes (%s)"
                           % (where(prefix + DETAIL_TYPE), type_number, layout.kind_list()))
        refuse_unknown_keys(detail, self.detail_keys[kind.has_stats], where, path + ".")
        body_path = path + "." + BODY_KEY
        body_json = require_object(member(detail, BODY_KEY, where, path + "."), where, body_path)
        refuse_unknown_keys(body_json, self.body_keys[type_number], where, body_path + ".")
        body = self.bodies[type_number]
        kind.shape.assign(body, jsonform.integers(body_json, kind.shape, where, body_path + "."))
        self.detail_header.write(self.stream)
        body.write(self.stream)
        size = layout.detail_header.size + kind.shape.size
        if kind.has_stats:
            size += self._write_stats(detail, body, where, path)
        return size

    def _write_stats(self, detail, body, where, path):
        layout = self.layout
        stats_path = path + "." + STATS_KEY
        stats = require_list(member(detail, STATS_KEY, where, path + "."), where, stats_path)
        count = getattr(body, NUM_STAT_MODS) & 0xFFFFFFFF
        if len(stats) != count:
            raise BadInput("%s: %s is %d but %d stat entries follow"
                           % (where(stats_path), NUM_STAT_MODS, count, len(stats)))
        for number, entry in enumerate(stats):
            entry_path = "%s[%d]" % (stats_path, number)
            require_object(entry, where, entry_path)
            refuse_unknown_keys(entry, self.stat_keys, where, entry_path + ".")
            layout.stat.assign(self.stat, jsonform.integers(entry, layout.stat, where,
                                                            entry_path + "."))
            self.stat.write(self.stream)
        return count * layout.stat.size

    def _load_spell_code(self, code):
        """Puts all four bytes of a spell code into the header. The setter takes a text without
        zero bytes and fills the rest with zero bytes, so a code with other bytes behind a zero
        byte is read instead, from a spell record made for the purpose (a plain file, which the
        record stream reads as it stands)."""
        layout = self.layout
        record = bytearray(layout.head_size + layout.trailer_size)
        record[layout.head_offset(ACTION_TYPE)] = SPELL_ACTION_TYPE
        start = layout.head_size + layout.trailer_offset(SPELL_CODE)
        record[start:start + SPELL_CODE_SIZE] = code
        with io.open(self.scratch_path, "wb") as f:
            f.write(bytes(record))
        with layout.q.Stream(self.scratch_path, "r") as stream:
            if self.header.read(stream) != 0:
                raise WriteFailed("cannot load the spell code %r through %s"
                                  % (code, self.scratch_path))


def _names(fields):
    return frozenset(name for name, _ in fields)


def _setter_can_make(code):
    """True when the spell-code setter makes these four bytes: a text, then zero bytes."""
    text = code.split(b"\0", 1)[0]
    return code == text.ljust(SPELL_CODE_SIZE, b"\0")


def write_action_file(layout, source, target, inputs=(), progress=None):
    """Writes the actions of an ActionSource to target (a path, or a binary file object such as
    standard output) by the package's file-replacing rules: the file is made and read back
    whole in a temporary file first; on any failure target is left as it was and the temporary
    files are gone. inputs: the files target must not be. Returns the number of uncompressed
    bytes. Raises BadInput, WriteFailed, OutputIsInput, IOError/OSError."""
    with load_files().replacing(target, inputs) as temp_path:
        scratch_path = temp_path + ".spellcode"
        try:
            expected = _write_actions(layout, source, temp_path, scratch_path, progress)
        finally:
            _remove_quietly(scratch_path)
        _verify_written(temp_path, expected)
    return expected


def _write_actions(layout, source, path, scratch_path, progress):
    expected = 0
    with layout.q.Stream(path, "w") as stream:
        writer = ActionWriter(layout, stream, scratch_path)
        for index, action in enumerate(source):
            expected += writer.write(index, action)
            if progress and (index + 1) % PROGRESS_EVERY == 0:
                progress(source.position, source.size)
    return expected


def _verify_written(path, expected):
    """A record stream that reports no write error would leave a short file unnoticed: read
    the file back."""
    contents = read_uncompressed(path)
    if contents.problem or len(contents.data) != expected:
        raise WriteFailed(contents.problem or "%d of %d bytes arrived"
                          % (len(contents.data), expected))


def _remove_quietly(path):
    try:
        os.remove(path)
    except OSError:
        pass  # never made: no spell code needed it
