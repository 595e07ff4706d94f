"""Messages that survive any text: a file name that is not UTF-8, a lone surrogate from JSON
("\\ud800"), non-ASCII text, alike on Python 2.7 and 3. Every message the package raises or the
tool prints goes through here, so that the refusal keeps its own words and never turns into a
UnicodeError of its own.

A text that has a UTF-8 form is kept as it is (written as UTF-8); what has none is escaped: a
byte that is not part of UTF-8 (Python 3 gives it as U+DC80..U+DCFF, surrogateescape) as \\xNN,
any other lone surrogate as \\uXXXX."""
import codecs
import re
import sys

_PY2 = sys.version_info[0] == 2

if _PY2:  # a pair of surrogates is a character there: only an unpaired one is escaped
    _UNPAIRED = re.compile(u"[\ud800-\udbff](?![\udc00-\udfff])"
                           u"|(?<![\ud800-\udbff])[\udc00-\udfff]")
    _TEXT = unicode  # noqa: F821 (Python 2)
else:  # Python 3 has no UTF-8 form for any surrogate code point, paired or not
    _UNPAIRED = re.compile(u"[\ud800-\udfff]")
    _TEXT = str

_ESCAPE_BYTES = "qn4t-message-escape"


def _escape_undecodable(error):
    """Decoding error handler: each byte that is not UTF-8 as \\xNN."""
    if not isinstance(error, UnicodeDecodeError):
        raise error
    data = bytearray(error.object[error.start:error.end])
    return u"".join(u"\\x%02x" % byte for byte in data), error.end


codecs.register_error(_ESCAPE_BYTES, _escape_undecodable)


def _escape_surrogate(match):
    point = ord(match.group(0))
    if 0xdc80 <= point <= 0xdcff:  # a byte that was not UTF-8, carried by surrogateescape
        return u"\\x%02x" % (point - 0xdc00)
    return u"\\u%04x" % point


def message_text(value):
    """The text of a message part (text, bytes, an exception or any object) as a unicode text
    that always has a UTF-8 form. Never raises a UnicodeError."""
    if isinstance(value, bytes):
        text = value.decode("utf-8", _ESCAPE_BYTES)
    elif isinstance(value, _TEXT):
        text = value
    else:
        text = _object_text(value)
    return _UNPAIRED.sub(_escape_surrogate, text)


def _object_text(value):
    if _PY2:
        try:
            return unicode(value)  # noqa: F821 (Python 2)
        except UnicodeError:  # an exception holding non-ASCII bytes
            return str(value).decode("utf-8", _ESCAPE_BYTES)
    return str(value)


def native(value):
    """message_text(value) as this host's str: UTF-8 bytes on Python 2 (so that str() of an
    exception holding it and "%s" formatting with other byte texts never fail), the text on
    Python 3."""
    text = message_text(value)
    return text.encode("utf-8") if _PY2 else text


def message_bytes(value):
    """The UTF-8 bytes of a message, escaped where the text has no UTF-8 form."""
    return message_text(value).encode("utf-8")


_NUMBERS = (int, float) + ((long,) if _PY2 else ())  # noqa: F821 (Python 2)


def formatted(template, *parts):
    """template % parts as this host's str, every part that is not a number made native()
    first: on Python 2 a byte file name beside a non-ASCII text never meets an implicit
    ASCII conversion."""
    return native(template) % tuple(part if isinstance(part, _NUMBERS) else native(part)
                                    for part in parts)
