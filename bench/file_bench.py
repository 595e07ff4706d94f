"""Whole files: decoding and writing every field of a generated action file, through the
module and through pure-Python readers and writers of the same bytes, with peak memory.

    python bench/file_bench.py run decode|encode VARIANT FILE COUNT [REPEAT]
        one variant in this process: prints JSON {"seconds": best of REPEAT, "maxrss_kb": ...}
    python bench/file_bench.py compare decode|encode VARIANT,VARIANT,... FILE COUNT [REPEAT]
        the variants taking turns in this process: prints JSON {variant: best seconds}
    python bench/file_bench.py verify FILE COUNT
        all variants agree: the same values decoded, the same bytes written

Runs on Python 2.7 and Python 3, each with the module built for it on sys.path.

Variants:
  classes   the Python-side classes: attributes, read/write methods, reused instances
  flat      the flat functions with pointer strings
  struct    pure Python, record by record: gzip.GzipFile.read/write + struct (un)pack
  buffer    pure Python, whole buffer: one decompression + Struct.unpack_from (decode), or
            every record packed into one buffer compressed at the end (encode)
  actions   read_actions into Action objects (decode), write_actions of Action objects (encode,
            on the default number of threads)
  kept      list(read_actions(file)), the collector on: what scripts write (decode)
  visited   the kept list, then every detail of every action visited, in the same script
  threadsN  write_actions on N threads (encode), e.g. threads1, threads2
  floor     zcat of the file to /dev/null (decode); zlib compressing the same bytes at the
            same level (encode)
  gzip6     the gzip program at level 6 compressing the same bytes from a file (encode)
  pigz2     the pigz program at level 6 on two threads, the same bytes from a file (encode)

    python bench/file_bench.py info
        prints JSON {"inflater": ..., "deflater": the library write_actions deflates with
        on threads, "threads": the writer's default thread count}

Decoding turns every field of every record (texts, spell trailer, details, stat entries)
into Python values, one tuple per record, as a script walking a file would (texts as str:
on Python 3 the pure-Python readers decode them as the module's getters do, UTF-8 with
surrogateescape); nothing is kept
from one action to the next, so a reader that streams needs the same memory for any file.
Writing takes its values from a pool of generated actions, cycled, so the input costs no
memory that grows with the count either; its texts are bytes, which every writer takes
as they are on both hosts. Peak memory is ru_maxrss of the process that ran
one variant; the runner starts one process per variant and file size.
"""
from __future__ import print_function

import gzip
import itertools
import json
import os
import resource
import subprocess
import struct
import sys
import timeit
import zlib

import _qn4tGenericActionLoader as flat
import qn4tGenericActionLoader as q
import qn4tGenericActionLayout as layout
from qn4tGenericActionLayout import LAYOUT, SPELL_ACTION_TYPE, TRAILER_FIELDS

import generate_actions as gen

HEADER = layout.HEADER
DETAIL_HEADER = layout.DETAIL_HEADER
BODY_TYPES = layout.DETAIL_BODIES  # detail type -> body record type
STATMOD_BODY = BODY_TYPES[gen.STATMOD_TYPE]
STAT_COUNT_FIELD, STAT = layout.BODY_ENTRIES[STATMOD_BODY]
FIELDS = dict((name, [field for field, _ in fields]) for name, _, fields in LAYOUT)
HEAD_FIELDS = [f for f in FIELDS[HEADER] if f not in TRAILER_FIELDS]  # head and texts
ACTION_TYPE = HEAD_FIELDS.index(layout.ACTION_TYPE_FIELD)
NUM_DETAILS = HEAD_FIELDS.index(layout.DETAIL_COUNT_FIELD)
NUM_STAT_MODS = FIELDS[STATMOD_BODY].index(STAT_COUNT_FIELD)
POOL = 1000  # distinct actions the writers cycle through
try:
    lazy_range = xrange  # Python 2: range() would build a list
except NameError:
    lazy_range = range
try:
    INTEGER_TYPES = (int, long)
except NameError:
    INTEGER_TYPES = (int,)


def _compiled(source, name, scope=None):
    scope = dict(scope or {})
    exec(source, scope)
    return scope[name]


# ---- The module: generated accessors, as a script would spell them by hand ----

def attribute_reader(fields):
    """r -> (r.f1, r.f2, ...)"""
    return _compiled("def values(r): return (%s,)" % ", ".join("r." + f for f in fields), "values")


def attribute_writer(fields):
    """(r, values): r.f1, r.f2, ... = values"""
    return _compiled("def store(r, v): %s, = v" % ", ".join("r." + f for f in fields), "store")


def flat_reader(type_name, fields):
    """p -> (get_f1(p), get_f2(p), ...), the getters bound once."""
    getters = dict(("g%d" % i, getattr(flat, "%s_%s_get" % (type_name, f))) for i, f in enumerate(fields))
    source = "def values(p, %s): return (%s,)" % (
        ", ".join("g%d=g%d" % (i, i) for i in range(len(fields))),
        ", ".join("g%d(p)" % i for i in range(len(fields))))
    return _compiled(source, "values", getters)


def flat_writer(type_name, fields):
    """(p, values): set_f1(p, values[0]); ..., the setters bound once."""
    setters = dict(("s%d" % i, getattr(flat, "%s_%s_set" % (type_name, f))) for i, f in enumerate(fields))
    source = "def store(p, v, %s):\n    %s = v\n%s" % (
        ", ".join("s%d=s%d" % (i, i) for i in range(len(fields))),
        ", ".join("v%d" % i for i in range(len(fields))) + ",",
        "".join("    s%d(p, v%d)\n" % (i, i) for i in range(len(fields))))
    return _compiled(source, "store", setters)


class ModuleWay(object):
    """Records, accessors and read/write for one of the module's two ways: 'classes' or 'flat'."""

    def __init__(self, way):
        self.classes = way == "classes"
        # The flat way works on the pointer strings; the instances stay alive here and
        # release the records when the run ends.
        self.owners = [getattr(q, t)() for t in (HEADER, DETAIL_HEADER, STAT)]
        self.owners += [getattr(q, BODY_TYPES[k])() for k in sorted(BODY_TYPES)]
        records = self.owners if self.classes else [r.this for r in self.owners]
        self.header, self.detail, self.stat = records[:3]
        self.bodies = dict(zip(sorted(BODY_TYPES), records[3:]))
        if self.classes:
            reader, writer = (lambda t, f: attribute_reader(f)), (lambda t, f: attribute_writer(f))
        else:
            reader, writer = flat_reader, flat_writer
        self.head_values = reader(HEADER, HEAD_FIELDS)
        self.trailer_values = reader(HEADER, TRAILER_FIELDS)
        self.detail_values = reader(DETAIL_HEADER, FIELDS[DETAIL_HEADER])
        self.stat_values = reader(STAT, FIELDS[STAT])
        self.body_values = dict((k, reader(t, FIELDS[t])) for k, t in BODY_TYPES.items())
        self.store_head = writer(HEADER, HEAD_FIELDS)
        self.store_trailer = writer(HEADER, TRAILER_FIELDS)
        self.store_detail = writer(DETAIL_HEADER, FIELDS[DETAIL_HEADER])
        self.store_stat = writer(STAT, FIELDS[STAT])
        self.store_body = dict((k, writer(t, FIELDS[t])) for k, t in BODY_TYPES.items())

    def _io(self, name):
        """The read or write function of each record, (record, stream) -> int."""
        if self.classes:
            return dict((key, getattr(type(record), name).__get__(record))
                        for key, record in self._records())
        return dict((key, (lambda f, r: lambda s: f(r, s))(
            getattr(flat, self._type_of(key) + "_" + name), record)) for key, record in self._records())

    def _records(self):
        yield "header", self.header
        yield "detail", self.detail
        yield "stat", self.stat
        for k, record in self.bodies.items():
            yield k, record

    @staticmethod
    def _type_of(key):
        return {"header": HEADER, "detail": DETAIL_HEADER, "stat": STAT}.get(key) or BODY_TYPES[key]

    def decode(self, path, emit):
        io = self._io("read")
        read_header, read_detail, read_stat = io["header"], io["detail"], io["stat"]
        header, detail, stat = self.header, self.detail, self.stat
        head_values, trailer_values = self.head_values, self.trailer_values
        detail_values, stat_values = self.detail_values, self.stat_values
        bodies = dict((k, (io[k], self.bodies[k], self.body_values[k])) for k in self.bodies)
        stream = q.Stream(path, "r")
        # The flat way passes pointer strings; the Stream object converts like its string.
        stream_ref = stream if self.classes else stream.this
        actions = 0
        while read_header(stream_ref) == 0:
            head = head_values(header)
            trailer = trailer_values(header) if head[ACTION_TYPE] == SPELL_ACTION_TYPE else None
            emit(head, trailer)
            for _ in lazy_range(head[NUM_DETAILS]):
                read_detail(stream_ref)
                kind = detail_values(detail)
                read_body, body, body_values = bodies[kind[0]]
                read_body(stream_ref)
                values = body_values(body)
                emit(kind, values)
                if kind[0] == gen.STATMOD_TYPE:
                    for _ in lazy_range(values[NUM_STAT_MODS]):
                        read_stat(stream_ref)
                        emit(stat_values(stat), None)
            actions += 1
        stream.close()
        return actions

    def encode(self, path, pool, count):
        io = self._io("write")
        write_header, write_detail, write_stat = io["header"], io["detail"], io["stat"]
        header, detail, stat = self.header, self.detail, self.stat
        store_head, store_trailer = self.store_head, self.store_trailer
        store_detail, store_stat = self.store_detail, self.store_stat
        bodies = dict((k, (io[k], self.bodies[k], self.store_body[k])) for k in self.bodies)
        stream = q.Stream(path, "w")
        stream_ref = stream if self.classes else stream.this
        for head, trailer, details in itertools.islice(itertools.cycle(pool), count):
            store_head(header, head)
            if trailer is not None:
                store_trailer(header, trailer)
            write_header(stream_ref)
            for kind, body_values, stats in details:
                store_detail(detail, kind)
                write_detail(stream_ref)
                write_body, body, store_body = bodies[kind[0]]
                store_body(body, body_values)
                write_body(stream_ref)
                for entry in stats:
                    store_stat(stat, entry)
                    write_stat(stream_ref)
        stream.close()


# ---- Pure Python over the same bytes ----

SHAPES = {gen.DAMAGE_TYPE: gen.DAMAGE, gen.STATMOD_TYPE: gen.STATMOD, gen.HEALING_TYPE: gen.HEALING}


def _as_read(shape):
    """The shape a reader unpacks with: unsigned 32-bit fields taken as signed, the value
    the module's getters give for them."""
    return struct.Struct(shape.format.replace("I", "i"))


HEAD_IN, TRAILER_IN, DETAIL_IN, STAT_IN = [_as_read(s) for s in (gen.HEAD, gen.TRAILER, gen.DETAIL_HEADER, gen.STAT)]
SHAPES_IN = dict((k, _as_read(s)) for k, s in SHAPES.items())
TEXT_LENGTHS = [HEAD_FIELDS.index(length) for _, length in layout.TEXTS]


if sys.version_info[0] >= 3:
    def record_text(raw):
        """A text field's bytes as the module's getter gives them: up to the first zero byte,
        as str (UTF-8 with surrogateescape, so that any bytes decode)."""
        return raw.split(b"\0", 1)[0].decode("utf-8", "surrogateescape")
else:
    def record_text(raw):
        """A text field's bytes as the module's getter gives them: up to the first zero byte."""
        return raw.split(b"\0", 1)[0]


def _split_texts(head, data, at):
    texts = []
    for index in TEXT_LENGTHS:
        size = head[index]
        texts.append(record_text(data[at:at + size]))
        at += size
    return tuple(texts), at


def _trailer(values):
    return (record_text(values[0]),) + values[1:]


def struct_decode(path, emit):
    """Record by record through gzip.GzipFile.read, as the module reads."""
    stream = gzip.GzipFile(path, "rb")
    read = stream.read
    head_shape, detail_shape, stat_shape, trailer_shape = HEAD_IN, DETAIL_IN, STAT_IN, TRAILER_IN
    actions = 0
    while True:
        data = read(head_shape.size)
        if len(data) < head_shape.size:
            break
        head = head_shape.unpack(data)
        spell = head[ACTION_TYPE] == SPELL_ACTION_TYPE
        rest = read(sum(head[i] for i in TEXT_LENGTHS) + (trailer_shape.size if spell else 0))
        texts, at = _split_texts(head, rest, 0)
        emit(head + texts, _trailer(trailer_shape.unpack_from(rest, at)) if spell else None)
        for _ in lazy_range(head[NUM_DETAILS]):
            kind = detail_shape.unpack(read(detail_shape.size))
            shape = SHAPES_IN[kind[0]]
            values = shape.unpack(read(shape.size))
            emit(kind, values)
            if kind[0] == gen.STATMOD_TYPE:
                for _ in lazy_range(values[NUM_STAT_MODS]):
                    emit(stat_shape.unpack(read(stat_shape.size)), None)
        actions += 1
    stream.close()
    return actions


def buffer_decode(path, emit):
    """The whole file decompressed into one string, then Struct.unpack_from at offsets."""
    stream = gzip.GzipFile(path, "rb")
    data = stream.read()
    stream.close()
    head_shape, detail_shape, stat_shape, trailer_shape = HEAD_IN, DETAIL_IN, STAT_IN, TRAILER_IN
    end, at, actions = len(data), 0, 0
    while at + head_shape.size <= end:
        head = head_shape.unpack_from(data, at)
        texts, at = _split_texts(head, data, at + head_shape.size)
        trailer = None
        if head[ACTION_TYPE] == SPELL_ACTION_TYPE:
            trailer = _trailer(trailer_shape.unpack_from(data, at))
            at += trailer_shape.size
        emit(head + texts, trailer)
        for _ in lazy_range(head[NUM_DETAILS]):
            kind = detail_shape.unpack_from(data, at)
            shape = SHAPES_IN[kind[0]]
            values = shape.unpack_from(data, at + detail_shape.size)
            at += detail_shape.size + shape.size
            emit(kind, values)
            if kind[0] == gen.STATMOD_TYPE:
                for _ in lazy_range(values[NUM_STAT_MODS]):
                    emit(stat_shape.unpack_from(data, at), None)
                    at += stat_shape.size
        actions += 1
    return actions


def _action_records(head, trailer, details):
    """The packed records of one pool action, in file order."""
    yield gen.HEAD.pack(*head[:len(HEAD_FIELDS) - 5]) + b"".join(head[len(HEAD_FIELDS) - 5:])
    if trailer is not None:
        yield gen.TRAILER.pack(*trailer)
    for kind, body, stats in details:
        yield gen.DETAIL_HEADER.pack(*kind)
        yield SHAPES[kind[0]].pack(*body)
        for entry in stats:
            yield gen.STAT.pack(*entry)


def struct_encode(path, pool, count):
    """Record by record: struct.pack and one GzipFile.write per record."""
    stream = gzip.GzipFile(path, "wb", 6)
    write = stream.write
    for action in itertools.islice(itertools.cycle(pool), count):
        for record in _action_records(*action):
            write(record)
    stream.close()


def buffer_encode(path, pool, count):
    """Every record packed into one list, joined and compressed in one write at the end."""
    parts = []
    for action in itertools.islice(itertools.cycle(pool), count):
        parts.extend(_action_records(*action))
    stream = gzip.GzipFile(path, "wb", 6)
    stream.write(b"".join(parts))
    stream.close()


# ---- Running ----

def writer_pool(count=POOL):
    """Generated actions as writer input: (head and texts, trailer, ((type, length), body,
    stat entries) per detail)."""
    pool = []
    for head, texts, trailer, details in gen.actions(count, seed=gen.DEFAULT_SEED + 1):
        pool.append((head + tuple(texts), trailer,
                     tuple(((kind, SHAPES[kind].size), body, stats) for kind, body, stats in details)))
    return pool


def actions_decode(path, emit):
    """Every action into an Action object, as read_actions gives them; nothing kept."""
    actions = 0
    for _ in q.read_actions(path):
        actions += 1
    return actions


def kept_decode(path, emit):
    """Every action kept in a list, as scripts write it."""
    actions = list(q.read_actions(path))
    return len(actions)


def visited_decode(path, emit):
    """Every action kept in a list, then every detail of every action visited, its body
    asked for: one script, the collector on."""
    actions = list(q.read_actions(path))
    for action in actions:
        for detail in action.details:
            detail.body
    return len(actions)


def zcat_decode(path, emit):
    with open(os.devnull, "wb") as devnull:
        subprocess.check_call(["zcat", path], stdout=devnull)
    return None  # zcat does not count actions


_ACTION_POOLS = {}


def action_pool(pool):
    """The writer pool as Action objects, made once per pool."""
    if id(pool) not in _ACTION_POOLS:
        made = []
        for head, trailer, details in pool:
            values = dict((f, v) for f, v in zip(HEAD_FIELDS, head)
                          if f != "numDetails" and not f.endswith("Len"))
            if trailer is not None:
                values.update(zip(TRAILER_FIELDS, trailer))
            made.append(q.Action(details=[
                q.Detail(type=kind[0], length=kind[1], body=_body(kind[0], body, stats))
                for kind, body, stats in details], **values))
        _ACTION_POOLS[id(pool)] = made
    return _ACTION_POOLS[id(pool)]


def _body(kind, values, stats):
    names = [f for f in FIELDS[BODY_TYPES[kind]] if f != "numStatMods"]
    fields = dict((f, v) for f, v in zip(FIELDS[BODY_TYPES[kind]], values) if f in names)
    if kind == gen.STATMOD_TYPE:
        return q.StatMod(stats=[q.Stat(stat=s, modAmt=m) for s, m in stats], **fields)
    return {gen.DAMAGE_TYPE: q.Damage, gen.HEALING_TYPE: q.Healing}[kind](**fields)


def actions_encode(path, pool, count, threads=None):
    q.write_actions(path, itertools.islice(itertools.cycle(action_pool(pool)), count), threads)


def threads_encoder(threads):
    return lambda path, pool, count: actions_encode(path, pool, count, threads)


_ZLIB_INPUT = {}


def zlib_prepare(pool, count):
    """The uncompressed bytes the writers write, made before the timing."""
    _ZLIB_INPUT[count] = b"".join(b"".join(_action_records(*a))
                                  for a in itertools.islice(itertools.cycle(pool), count))


ZLIB_PIECE = 256 * 1024  # what the native writer hands deflate at once


def zlib_encode(path, pool, count):
    """The bytes compressed in pieces as the native writer compresses them: one call over
    the whole buffer would time growing one large output, not compression."""
    packer = zlib.compressobj(6, zlib.DEFLATED, 16 + zlib.MAX_WBITS)
    data = _ZLIB_INPUT[count]
    with open(path, "wb") as out:
        for at in range(0, len(data), ZLIB_PIECE):
            out.write(packer.compress(data[at:at + ZLIB_PIECE]))
        out.write(packer.flush())


def compressor_program(*command):
    """An encoder that runs `command` on the same bytes, read from a file."""
    def encode(path, pool, count):
        with open(_plain_input(count), "rb") as plain, open(path, "wb") as out:
            subprocess.check_call(list(command), stdin=plain, stdout=out)
    return encode


PROGRAMS = {"gzip6": ("gzip", "-6", "-c"), "pigz2": ("pigz", "-p2", "-6", "-c")}


def _plain_input(count):
    return os.path.join(os.environ.get("TMPDIR", "/tmp"), "qn4t-bench-%d-%d.raw" % (os.getpid(), count))


def decoder(variant):
    if variant == "actions":
        return actions_decode
    if variant == "kept":
        return kept_decode
    if variant == "visited":
        return visited_decode
    if variant == "floor":
        return zcat_decode
    if variant in ("classes", "flat"):
        return ModuleWay(variant).decode
    return {"struct": struct_decode, "buffer": buffer_decode}[variant]


def encoder(variant):
    if variant == "actions":
        return actions_encode
    if variant == "floor":
        return zlib_encode
    if variant in PROGRAMS:
        return compressor_program(*PROGRAMS[variant])
    if variant.startswith("threads"):
        return threads_encoder(int(variant[len("threads"):]))
    if variant in ("classes", "flat"):
        return ModuleWay(variant).encode
    return {"struct": struct_encode, "buffer": buffer_encode}[variant]


def _drop(values, more):
    pass


class Job(object):
    """One variant of a job, ready to be timed: its input is made before any timing."""

    def __init__(self, job, variant, path, count, pool=None):
        self.job, self.variant, self.path, self.count = job, variant, path, count
        if job == "decode":
            self.way = decoder(variant)
        else:
            self.pool, self.way = pool or writer_pool(), encoder(variant)
            if variant == "floor" or variant in PROGRAMS:
                zlib_prepare(self.pool, count)
            if variant in PROGRAMS:
                with open(_plain_input(count), "wb") as plain:
                    plain.write(_ZLIB_INPUT[count])
            self.out = "%s.%s.written" % (path, variant)

    def once(self):
        """Seconds of one run."""
        start = timeit.default_timer()
        if self.job == "decode":
            actions = self.way(self.path, _drop)
        else:
            self.way(self.out, self.pool, self.count)
        seconds = timeit.default_timer() - start
        if self.job == "decode" and actions is not None and actions != self.count:
            raise SystemExit("%s decoded %d actions, the file holds %d"
                             % (self.variant, actions, self.count))
        return seconds

    def done(self):
        """Removes what the job wrote; returns its size (encode)."""
        size = None
        if self.job == "encode" and os.path.exists(self.out):
            size = os.path.getsize(self.out)
            os.remove(self.out)
        if self.variant in PROGRAMS and os.path.exists(_plain_input(self.count)):
            os.remove(_plain_input(self.count))
        return size


def _peak_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def run(job, variant, path, count, repeat):
    """Best seconds of `repeat` runs of one job, and this process's peak memory."""
    one = Job(job, variant, path, count)
    seconds = min(one.once() for _ in range(repeat))
    return {"seconds": seconds, "maxrss_kb": _peak_kb(), "written": one.done()}


def compare(job, variants, path, count, repeat):
    """Best seconds of each variant, the variants taking turns in one process for `repeat`
    rounds: on a shared machine whose speed drifts between processes, the ratios between
    them then hold."""
    pool = writer_pool() if job == "encode" else None
    jobs = [Job(job, variant, path, count, pool) for variant in variants]
    best = dict((variant, float("inf")) for variant in variants)
    for _ in range(repeat):
        for one in jobs:
            best[one.variant] = min(best[one.variant], one.once())
    written = dict((one.variant, one.done()) for one in jobs)
    if job == "encode":
        best["written"] = written
    return best


VARIANTS = ("classes", "flat", "struct", "buffer")


def _as_bits(values):
    """A record's values with every integer as its 32 low bits: the classes read an unsigned
    32-bit field unsigned, the flat getters (and the pure-Python readers, which match them)
    signed; every field is at most 32 bits wide, so the bits tell values apart alike."""
    if values is None:
        return None
    return tuple(v & 0xFFFFFFFF if isinstance(v, INTEGER_TYPES) else v for v in values)


def _gunzip(path):
    """The content of a gzip file, every member of it (the threaded writer may write several)."""
    with gzip.open(path, "rb") as f:
        return f.read()


def verify(path, count):
    """Every decoder yields the same values and every encoder the same bytes."""
    seen = {}
    for variant in VARIANTS:
        values = []
        decoder(variant)(path, lambda a, b: values.append((_as_bits(a), _as_bits(b))))
        seen[variant] = values
    for variant in VARIANTS[1:]:
        if seen[variant] != seen[VARIANTS[0]]:
            raise SystemExit("decoders disagree: %s and %s" % (VARIANTS[0], variant))
    written = {}
    pool = writer_pool(50)
    for variant in VARIANTS:
        out = "%s.%s.verify" % (path, variant)
        encoder(variant)(out, pool, count)
        written[variant] = _gunzip(out)
        os.remove(out)
    out = "%s.actions.verify" % path
    actions_encode(out, pool, count)
    written["actions"] = _gunzip(out)
    os.remove(out)
    if len(set(written.values())) != 1:
        raise SystemExit("encoders disagree")
    if written["buffer"] != b"".join(b"".join(_action_records(*a)) for a in
                                    itertools.islice(itertools.cycle(pool), count)):
        raise SystemExit("the written bytes are not the records")
    print("verified: %d records decoded alike, %d bytes written alike"
          % (len(seen["classes"]), len(written["classes"])))


def main(argv):
    if len(argv) >= 6 and argv[1] == "run":
        repeat = int(argv[6]) if len(argv) > 6 else 1
        print(json.dumps(run(argv[2], argv[3], argv[4], int(argv[5]), repeat)))
        return 0
    if len(argv) >= 6 and argv[1] == "compare":
        repeat = int(argv[6]) if len(argv) > 6 else 1
        print(json.dumps(compare(argv[2], argv[3].split(","), argv[4], int(argv[5]), repeat)))
        return 0
    if len(argv) == 2 and argv[1] == "info":
        print(json.dumps({"inflater": q.inflater(), "deflater": q.actions._native._deflater(),
                          "threads": q.actions._native._write_threads()}))
        return 0
    if len(argv) == 4 and argv[1] == "verify":
        verify(argv[2], int(argv[3]))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
