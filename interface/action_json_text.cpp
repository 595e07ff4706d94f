// Whole actions as the JSON text of their document form, walking the same field tables as
// the file codec and the JSON import (action_json.cpp): the text the Python form writes
// (_form.action_json_pieces), byte for byte on both hosts, at the speed of the decoder.
#include "interface/action_json_text.h"

#include <charconv>
#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>

#include "binding/host.h"
#include "core/records.h"
#include "core/text.h"
#include "interface/action_io.h"
#include "interface/action_walk.h"
#include "interface/fault_translation.h"
#include "interface/file_work.h"
#include "interface/json_form.h"
#include "interface/module_add.h"
#include "interface/page_json_text.h"

namespace qn4t {

CodeForm code_form(std::string_view all) {
    std::size_t size = all.size();
    while (size > 0 && all[size - 1] == '\0') --size;
    if (is_utf8(all.substr(0, size))) return {all.substr(0, size), true};
    return {all, false};
}

namespace {

// One action's JSON text, appended to a string a piece at a time: an action of millions of
// stat entries is given out in blocks, never held as one text. Lists and objects whose parts
// go one per line (with an indent) open, separate and close their parts by depth; records
// stay on one line.
class JsonText {
public:
    JsonText(std::string &out, long indent) : out_(out), indent_(indent) {}

    // Appends the text of `a` from where `at` stands until the text reaches `limit` bytes
    // between two stat entries; true when the action's text is complete.
    bool action(const WholeAction &a, JsonCursor &at, std::size_t limit) {
        if (!at.started) {
            head(a);
            at.started = true;
        }
        for (; at.detail < a.details.size(); ++at.detail) {
            const WholeDetail &d = a.details[at.detail];
            if (!at.in_entries) {
                if (at.detail) between(kDetailsDepth);
                else first(kDetailsDepth);
                at.in_entries = detail_open(d);
                at.entry = 0;
                if (!at.in_entries) continue;  // closed already: no entries follow its body
            }
            if (!entries(d.stats, at.entry, limit)) return false;
            at.in_entries = false;
            close_list(d.stats.empty(), kEntriesDepth);
            last(kDetailDepth);
            out_ += '}';
        }
        close_list(a.details.empty(), kDetailsDepth);
        last(kActionDepth);
        out_ += '}';
        at = JsonCursor();
        return true;
    }

private:
    // The depths at which the parts of an action, its details, a detail and its stat
    // entries go, as _form.action_json_pieces places them.
    static constexpr int kActionDepth = 2, kDetailsDepth = 3, kDetailDepth = 4, kEntriesDepth = 5;

    // Everything before the first detail.
    void head(const WholeAction &a) {
        out_ += '{';
        bool any = false;
        auto next = [&](std::string_view name) {
            if (any) between(kActionDepth);
            else first(kActionDepth);
            any = true;
            key(name);
        };
        for_each_field(HeaderLayout::head, [&](const auto &f) {
            using F = std::decay_t<decltype(f)>;
            if constexpr (!is_derived_count<F::member>()) {
                next(f.name);
                integer(a.head.*(F::member));
            }
        });
        std::size_t n = 0;
        for_each_field(HeaderLayout::texts, [&](const auto &t) {
            next(t.name);
            text(a.texts[n++]);
        });
        if (is_spell(a.head)) {
            for_each_field(HeaderLayout::trailer, [&](const auto &f) {
                using F = std::decay_t<decltype(f)>;
                next(f.name);
                if constexpr (std::is_array_v<typename F::value>)
                    spell_code(a.head.*(F::member));
                else
                    integer(a.head.*(F::member));
            });
        }
        next(kDetailsMember);
        out_ += '[';
    }

    void close_list(bool empty, int depth) {
        if (!empty) last(depth);
        out_ += ']';
    }

private:
    bool lines() const { return indent_ >= 0; }
    void pad(int depth) {
        out_ += '\n';
        out_.append(static_cast<std::size_t>(indent_) * static_cast<std::size_t>(depth), ' ');
    }
    void first(int depth) {
        if (lines()) pad(depth);
    }
    void between(int depth) {
        if (!lines()) {
            out_ += ", ";
            return;
        }
        out_ += ',';
        pad(depth);
    }
    void last(int depth) {
        if (lines()) pad(depth - 1);
    }

    void key(std::string_view name) {
        out_ += '"';
        out_ += name;
        out_ += "\": ";
    }

    template <class V>
    void integer(V value) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, static_cast<long long>(value)).ptr;
        out_.append(digits, end);
    }

    // A JSON string of UTF-8 bytes: escapes for the quote, the backslash and the control
    // characters only, as the json module's encode_basestring writes them.
    void string(std::string_view bytes) {
        static const char hex[] = "0123456789abcdef";
        out_ += '"';
        std::size_t plain = 0;  // start of the bytes not yet copied
        for (std::size_t k = 0; k < bytes.size(); ++k) {
            const unsigned char c = static_cast<unsigned char>(bytes[k]);
            if (c >= 0x20 && c != '"' && c != '\\') continue;
            out_.append(bytes.data() + plain, k - plain);
            plain = k + 1;
            out_ += '\\';
            switch (c) {
            case '"': out_ += '"'; break;
            case '\\': out_ += '\\'; break;
            case '\b': out_ += 'b'; break;
            case '\f': out_ += 'f'; break;
            case '\n': out_ += 'n'; break;
            case '\r': out_ += 'r'; break;
            case '\t': out_ += 't'; break;
            default:
                out_ += "u00";
                out_ += hex[c >> 4];
                out_ += hex[c & 0xF];
            }
        }
        out_.append(bytes.data() + plain, bytes.size() - plain);
        out_ += '"';
    }

    void hex_object(std::string_view bytes) {
        out_ += "{\"hex\": \"";
        append_hex(out_, bytes);
        out_ += "\"}";
    }

    // A text: a string when its bytes are UTF-8, else {"hex": ...}.
    void text(std::string_view bytes) {
        if (is_utf8(bytes)) string(bytes);
        else hex_object(bytes);
    }

    // The spell code: its bytes without the trailing zero bytes as a string, or all of them
    // in hex when those are not UTF-8.
    template <std::size_t N>
    void spell_code(const char (&code)[N]) {
        const CodeForm form = code_form(std::string_view(code, N - 1));  // the last is the terminator
        if (form.utf8) string(form.bytes);
        else hex_object(form.bytes);
    }

    // A record's integer fields on one line, leaving out those the form derives; `skip` may
    // leave out one more (a detail header's length that equals its body's size).
    template <class R, class Table, class Skip>
    void record(const R &r, const Table &table, Skip skip) {
        out_ += '{';
        bool any = false;
        for_each_field(table, [&](const auto &f) {
            using F = std::decay_t<decltype(f)>;
            if constexpr (std::is_integral_v<typename F::value> && !is_derived_count<F::member>()) {
                if (skip(f)) return;
                if (any) out_ += ", ";
                any = true;
                key(f.name);
                integer(r.*(F::member));
            }
        });
        out_ += '}';
    }

    template <class R, class Table>
    void record(const R &r, const Table &table) {
        record(r, table, [](const auto &) { return false; });
    }

    // A detail's header and body; for a body that entries follow, the opening of their list
    // (true), otherwise the whole detail (false).
    bool detail_open(const WholeDetail &d) {
        const std::size_t size = detail_body_size(d.header.type, d.stats.size(), d.raw.size());
        out_ += '{';
        first(kDetailDepth);
        key(kHeaderMember);
        record(d.header, DetailHeaderLayout::fields, [&](const auto &f) {
            using F = std::decay_t<decltype(f)>;
            return same_member<F::member, DetailHeaderLayout::body_length>() && d.header.*(F::member) == size;
        });
        between(kDetailDepth);
        key(kBodyMember);
        bool entries_follow = false;
        const bool known = visit_body_type(d.header.type, [&](auto tag) {
            using R = typename decltype(tag)::type;
            record(d.body<R>(), Layout<R>::fields);
            if constexpr (has_entries<R>) {
                between(kDetailDepth);
                key(kStatsMember);
                out_ += '[';
                entries_follow = true;
            }
        });
        if (!known) hex_object(d.raw);
        if (entries_follow) return true;
        last(kDetailDepth);
        out_ += '}';
        return false;
    }

    // The entries from `next` on, until the text reaches `limit` bytes; true when all are
    // written, otherwise `next` is the first not written.
    template <class E>
    bool entries(const std::vector<E> &list, std::size_t &next, std::size_t limit) {
        for (; next < list.size(); ++next) {
            if (out_.size() >= limit) return false;
            if (next) between(kEntriesDepth);
            else first(kEntriesDepth);
            record(list[next], Layout<E>::fields);
        }
        return true;
    }

    std::string &out_;
    long indent_;
};

// ---- The iterator of JSON blocks ----


// Bytes of JSON text gathered before a block is given out: few calls into Python, little held.
constexpr std::size_t kBlockSize = std::size_t{1} << 18;

struct BlocksState {
    BlocksState(PyObject *file, bool plain) : source(file_source(file)), reader(*source, plain) {}
    std::unique_ptr<ByteSource> source;
    ActionReader reader;
    WholeAction action;
    std::string text;
    JsonCursor at;                   // where the text of `action` stands
    bool in_action = false;          // `action`'s text is not complete: it goes on in the next block
    unsigned long long actions = 0;  // actions in the text made so far
    unsigned long long offset = 0;   // uncompressed, behind the last of them
    bool ended = false;              // at the end or at damage: the block made is the last
    std::string damage;              // the reader's report of damage, to raise after the block
};

struct BlocksObject : BlockWork<BlocksState> {
    static constexpr const char *busy = "_export_json iterator already executing";
    long indent;
    bool page;  // the text the page embeds (append_page_action_json), actions after ","
    PageDigest *digest;  // of the page's text given out (owned), null where it is not made here
    PyObject *damage;  // the facts of the damage that ended the reading, or null

    static int visit(BlocksObject *b, visitproc visit, void *arg) {
        Py_VISIT(b->damage);
        return b->visit_held(visit, arg);
    }
    static void clear(BlocksObject *b) {
        delete b->digest;
        b->digest = nullptr;
        Py_CLEAR(b->damage);
        b->clear_held();
    }
};
using BlocksType = FileWorkType<BlocksObject>;

void finish_blocks(BlocksObject *b) { BlocksType::finish(b); }

// Decodes actions into the state's text until a block is full, the file ends or is damaged.
void fill_block(BlocksObject *b) {
    BlocksState &s = *b->state;
    s.text.clear();
    while (s.text.size() < kBlockSize) {
        if (!s.in_action) {
            if (s.ended) break;
            if (!b->read_action(s.reader, s.action, s.ended, s.damage)) break;
            if (s.actions) s.text += b->page ? "," : ",\n";
            if (b->indent > 0) s.text.append(static_cast<std::size_t>(b->indent), ' ');
            s.in_action = true;
        }
        const bool whole = b->page ? append_page_action_json(s.action, s.text, s.at, kBlockSize)
                                   : append_action_json(s.action, b->indent, s.text, s.at, kBlockSize);
        if (!whole) break;
        s.in_action = false;
        ++s.actions;
        s.offset = s.reader.offset();
    }
}

// After the last block: the damage or the file's exception, or the end (null, no exception).
PyObject *end_of_blocks(BlocksObject *b) {
    if (!b->raise_held() && b->state && !b->state->damage.empty()) {
        b->damage = damage_facts(b->state->reader.damage(), b->state->damage);
        if (b->damage) raise_damaged(b->state->damage);
    }
    finish_blocks(b);
    return nullptr;
}

// Decodes the next block of text; the bytes object of it, or null at the end or with the
// exception set.
PyObject *made_block(BlocksObject *b) {
    if (b->state->ended && !b->state->in_action) return end_of_blocks(b);
    fill_block(b);
    BlocksState &s = *b->state;
    if (s.text.empty()) return end_of_blocks(b);
    PyObject *block = PyBytes_FromStringAndSize(s.text.data(), static_cast<Py_ssize_t>(s.text.size()));
    if (block) {
        b->actions = s.actions;
        b->offset = s.offset;
        if (b->digest) b->digest->add(s.text);
    }
    return block;
}

// The next block, or null at the end or with the exception set; out of memory ends the
// reading.
PyObject *next_block(BlocksObject *b) {
    PyObject *block = nullptr;
    if (guarded([&] { block = made_block(b); return true; })) return block;
    finish_blocks(b);
    return nullptr;
}

// The page's digest of the blocks given out so far, or None where this module does not make it
// (the text is not the page's, or the module is built without libcrypto).
PyObject *blocks_digest(PyObject *self, void *) {
    auto *b = reinterpret_cast<BlocksObject *>(self);
    if (!b->digest) return host::none();
    std::string hex;
    if (!guarded([&] { hex = b->digest->hex(); return true; })) return nullptr;
    return host::text_from(hex.c_str());
}

PyObject *blocks_damage(PyObject *self, void *) {
    PyObject *damage = reinterpret_cast<BlocksObject *>(self)->damage;
    if (!damage) Py_RETURN_NONE;
    Py_INCREF(damage);
    return damage;
}

PyGetSetDef blocks_getset[] = {
    {const_cast<char *>("damage"), blocks_damage, nullptr,
     const_cast<char *>("The facts of the damage that ended the reading (a dict), or None."), nullptr},
    actions_row<BlocksObject>("Actions in the blocks given out so far."),
    offset_row<BlocksObject>("Uncompressed offset behind the last action given out."),
    {const_cast<char *>("digest"), blocks_digest, nullptr,
     const_cast<char *>("SHA-256 (hex) of \"[\", the page's blocks given out and \"]\", or None."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// indent: None for one line, otherwise spaces per level (a negative number as 0, as the
// Python form's " " * indent). -2 with the exception set.
long indent_of(PyObject *value) {
    if (value == Py_None) return -1;
    if (PyFloat_Check(value) || !PyIndex_Check(value)) {
        PyErr_Format(PyExc_TypeError, "indent must be None or an integer, not %s", Py_TYPE(value)->tp_name);
        return -2;
    }
    const Py_ssize_t indent = PyNumber_AsSsize_t(value, PyExc_OverflowError);
    if (indent == -1 && PyErr_Occurred()) return -2;
    if (indent > kMostIndent) {
        PyErr_Format(PyExc_ValueError, "indent %zd is more than %ld spaces", indent, kMostIndent);
        return -2;
    }
    return indent < 0 ? 0 : static_cast<long>(indent);
}

PyObject *export_json(PyObject *, PyObject *args) {
    PyObject *file = nullptr, *indent_value = Py_None;
    int plain = 0;
    if (!PyArg_ParseTuple(args, "O|iO:_export_json", &file, &plain, &indent_value)) return nullptr;
    const long indent = indent_of(indent_value);  // may run __index__: before anything is made
    if (indent == -2) return nullptr;
    BlocksObject *b = BlocksType::make(file, plain != 0);
    if (b) b->indent = indent;
    return reinterpret_cast<PyObject *>(b);
}

PyObject *page_json(PyObject *, PyObject *args) {
    PyObject *file = nullptr;
    int plain = 0;
    if (!PyArg_ParseTuple(args, "O|i:_page_json", &file, &plain)) return nullptr;
    BlocksObject *b = BlocksType::make(file, plain != 0);
    if (!b) return nullptr;
    b->indent = -1;
    b->page = true;
    if (PageDigest::available()) {
        b->digest = guarded([] { return new PageDigest(); });
        if (!b->digest) {  // MemoryError
            Py_DECREF(reinterpret_cast<PyObject *>(b));
            return nullptr;
        }
    }
    return reinterpret_cast<PyObject *>(b);
}

PyMethodDef functions[] = {
    {"_export_json", export_json, METH_VARARGS,
     "Iterator of the JSON text (bytes) of the actions read from a binary file object, a block "
     "of whole actions at a time; plain=1 takes its bytes as uncompressed."},
    {"_page_json", page_json, METH_VARARGS,
     "Iterator of the JSON text (ASCII bytes) of the actions read from a binary file object as "
     "the page embeds them, a block at a time, as _export_json gives its own."},
    {nullptr, nullptr, 0, nullptr}};


}  // namespace

bool append_action_json(const WholeAction &action, long indent, std::string &out, JsonCursor &at,
                        std::size_t limit) {
    return JsonText(out, indent).action(action, at, limit);
}

bool add_json_export(PyObject *module) {
    if (!BlocksType::ready("_qn4tGenericActionSupport.JsonBlocks", next_block_of<BlocksObject, next_block>, nullptr, blocks_getset)) return false;
    return add_functions(module, functions);
}

}  // namespace qn4t
