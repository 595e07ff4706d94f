// The walk of `dump` and `check` over whole actions, made natively: the block reader's actions
// become dump's text or check's findings with no Python object per action, and damage comes
// out as the decoder's facts.
#include "interface/action_walk.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "binding/host.h"
#include "core/action_listing.h"
#include "interface/action_io.h"
#include "interface/fault_translation.h"
#include "interface/file_work.h"
#include "interface/module_add.h"

namespace qn4t {
namespace {

constexpr std::size_t kBlockSize = std::size_t{1} << 18;  // bytes of text given out at once
constexpr std::uint64_t kActionsPerBlock = 4096;          // actions between two blocks of check

const char *part_name(ActionPart part) {
    switch (part) {
    case ActionPart::head: return "head";
    case ActionPart::texts: return "texts";
    case ActionPart::trailer: return "spell trailer";
    case ActionPart::detail_header: return "detail header";
    case ActionPart::detail_body: return "detail body";
    case ActionPart::stat_entries: return "stat entries";
    }
    return "";
}

const char *reason_name(ActionDamage::Reason reason) {
    switch (reason) {
    case ActionDamage::Reason::cut: return "cut";
    case ActionDamage::Reason::unreadable: return "unreadable";
    case ActionDamage::Reason::too_large: return "too large";
    }
    return "";
}

// What a walk found, kept past its end (the work on the file is then gone).
struct Findings {
    WalkCounts counts;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> repeats;  // (action, actionID), the first `kept`
    std::uint64_t repeat_count = 0;
    std::vector<LengthNote> lengths;  // the first `kept`
    std::uint64_t length_count = 0;
};

struct WalkState {
    WalkState(PyObject *file, bool plain, bool listing, CodeNames *names, std::size_t kept)
        : source(file_source(file)), reader(*source, plain), names(std::move(*names)),
          listing(listing), kept(kept) {}
    std::unique_ptr<ByteSource> source;
    ActionReader reader;
    WholeAction action;
    CodeNames names;
    bool listing;
    std::size_t kept;
    IdSet ids;                       // check: the actionIDs seen
    Findings found;
    std::string text;
    ListingCursor at;                // where the lines of `action` stand
    bool in_action = false;          // `action`'s lines go on in the next block
    bool ended = false;              // at the end or at damage: the block made is the last
    std::string damage;              // the reader's report of damage, to raise after the block
    unsigned long long actions = 0;  // in the blocks made so far
    unsigned long long offset = 0;   // uncompressed, behind the last of them
};

struct WalkObject : BlockWork<WalkState> {
    static constexpr const char *busy = "_walk_actions iterator already executing";
    PyObject *summary;  // the findings, once the walk is over

    static int visit(WalkObject *w, visitproc visit, void *arg) {
        Py_VISIT(w->summary);
        return w->visit_held(visit, arg);
    }
    static void clear(WalkObject *w) {
        Py_CLEAR(w->summary);
        w->clear_held();
    }
};
using WalkType = FileWorkType<WalkObject>;

void take_action(WalkState &s) {
    const std::uint64_t number = s.found.counts.actions + 1;
    s.found.counts.add(s.action);
    if (s.listing) return;
    if (s.ids.add(s.action.head.actionID)) {
        if (s.found.repeats.size() < s.kept) s.found.repeats.emplace_back(number, s.action.head.actionID);
        ++s.found.repeat_count;
    }
    for_each_length_note(s.action, number, [&](const LengthNote &note) {
        if (s.found.lengths.size() < s.kept) s.found.lengths.push_back(note);
        ++s.found.length_count;
    });
}

// Walks actions into the state's text until a block is full (check: until a few thousand
// actions are counted), the file ends or is damaged.
void fill_block(WalkObject *w) {
    WalkState &s = *w->state;
    s.text.clear();
    const std::uint64_t stop = s.actions + kActionsPerBlock;
    while (s.text.size() < kBlockSize && (s.listing || s.actions < stop)) {
        if (!s.in_action) {
            if (s.ended) break;
            if (!w->read_action(s.reader, s.action, s.ended, s.damage)) break;
            take_action(s);
            s.in_action = true;
        }
        if (s.listing && !append_action_lines(s.action, s.actions + 1, s.names, s.text, s.at, kBlockSize))
            break;
        s.in_action = false;
        ++s.actions;
        s.offset = s.reader.offset();
    }
}

PyObject *counts_tuple(const WalkCounts &c) {
    PyObject *kinds = PyTuple_New(kBodyKinds);
    if (!kinds) return nullptr;
    for (std::size_t i = 0; i < kBodyKinds; ++i) {
        PyObject *n = PyLong_FromUnsignedLongLong(c.details[i]);
        if (!n) {
            Py_DECREF(kinds);
            return nullptr;
        }
        PyTuple_SET_ITEM(kinds, static_cast<Py_ssize_t>(i), n);
    }
    return Py_BuildValue("(KKNKK)", static_cast<unsigned long long>(c.actions),
                         static_cast<unsigned long long>(c.spells), kinds,
                         static_cast<unsigned long long>(c.unknown_details),
                         static_cast<unsigned long long>(c.stats));
}

template <class Item, class Make>
PyObject *list_of(const std::vector<Item> &items, Make make) {
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject *item = make(items[i]);
        if (!item) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

PyObject *length_tuple(const LengthNote &n) {
    const std::string title(body_title(n.type));
    return Py_BuildValue("(KknIIsn)", static_cast<unsigned long long>(n.action),
                         static_cast<unsigned long>(n.action_id), static_cast<Py_ssize_t>(n.detail),
                         static_cast<unsigned int>(n.length), static_cast<unsigned int>(n.type),
                         title.c_str(), static_cast<Py_ssize_t>(n.body_size));
}

PyObject *repeat_tuple(const std::pair<std::uint64_t, std::uint32_t> &r) {
    return Py_BuildValue("(Kk)", static_cast<unsigned long long>(r.first), static_cast<unsigned long>(r.second));
}

// The findings as a dict; null with the exception set.
PyObject *make_summary(const WalkState &s) {
    const Findings &f = s.found;
    PyObject *damage = s.damage.empty() ? (Py_INCREF(Py_None), Py_None) : damage_facts(s.reader.damage(), s.damage);
    if (!damage) return nullptr;
    return Py_BuildValue("{s:N,s:K,s:N,s:N,s:K,s:N,s:K}", "counts", counts_tuple(f.counts), "offset",
                         static_cast<unsigned long long>(s.reader.offset()), "damage", damage, "repeats",
                         list_of(f.repeats, repeat_tuple), "repeat_count",
                         static_cast<unsigned long long>(f.repeat_count), "lengths",
                         list_of(f.lengths, length_tuple), "length_count",
                         static_cast<unsigned long long>(f.length_count));
}

// Ends the walk: its findings kept as `summary`, the work on the file gone.
void finish_walk(WalkObject *w) {
    if (w->state && !w->summary) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);  // what ended the walk stays the error
        w->summary = guarded([&] { return make_summary(*w->state); });
        if (!w->summary) PyErr_Clear();
        PyErr_Restore(type, value, traceback);
    }
    WalkType::finish(w);
}

PyObject *end_of_walk(WalkObject *w) {
    if (!w->raise_held() && w->state && !w->state->damage.empty()) raise_damaged(w->state->damage);
    finish_walk(w);
    return nullptr;
}

PyObject *made_block(WalkObject *w) {
    if (w->state->ended && !w->state->in_action) return end_of_walk(w);
    fill_block(w);
    WalkState &s = *w->state;
    w->actions = s.actions;
    w->offset = s.offset;
    if (s.text.empty() && s.ended && !s.in_action) return end_of_walk(w);
    return PyBytes_FromStringAndSize(s.text.data(), static_cast<Py_ssize_t>(s.text.size()));
}

PyObject *walk_step(WalkObject *w) {
    PyObject *block = nullptr;
    if (guarded([&] { block = made_block(w); return true; })) return block;
    finish_walk(w);  // out of memory
    return nullptr;
}

PyObject *walk_summary(PyObject *self, void *) {
    PyObject *summary = reinterpret_cast<WalkObject *>(self)->summary;
    if (!summary) Py_RETURN_NONE;
    Py_INCREF(summary);
    return summary;
}

PyGetSetDef walk_getset[] = {
    actions_row<WalkObject>("Actions in the blocks given out so far."),
    offset_row<WalkObject>("Uncompressed offset behind the last action given out."),
    {const_cast<char *>("summary"), walk_summary, nullptr,
     const_cast<char *>("The walk's findings once it is over, else None."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Bytes of a bytes object or of a text's UTF-8 form; false with the exception set.
bool utf8_of(PyObject *value, std::string &out) {
    if (PyBytes_Check(value)) {
        out.assign(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
        return true;
    }
    PyObject *encoded = PyUnicode_AsUTF8String(value);
    if (!encoded) return false;
    out.assign(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
    Py_DECREF(encoded);
    return true;
}

// One field's names: (field, bits, ((value, name), ...)). A value out of range names no
// value a field holds: it is left out. False with the exception set.
bool add_field_names(PyObject *entry, CodeNames &names) {
    PyObject *field_object = nullptr, *pairs = nullptr;
    int bits = 0;
    if (!PyArg_ParseTuple(entry, "OiO:names", &field_object, &bits, &pairs)) return false;
    std::string field;
    if (!utf8_of(field_object, field)) return false;
    names.add_field(field, bits != 0);
    PyObject *items = PySequence_Fast(pairs, "names: a sequence of (value, name) pairs");
    if (!items) return false;
    bool ok = true;
    for (Py_ssize_t i = 0; ok && i < PySequence_Fast_GET_SIZE(items); ++i) {
        PyObject *value_object = nullptr, *name_object = nullptr;
        ok = PyArg_ParseTuple(PySequence_Fast_GET_ITEM(items, i), "OO:names", &value_object, &name_object);
        if (!ok) break;
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(value_object, &overflow);
        std::string name;
        ok = !(value == -1 && PyErr_Occurred()) && utf8_of(name_object, name);
        if (!ok || overflow) continue;
        if (bits)
            names.add_bit(field, value, std::move(name));
        else
            names.add_code(field, value, std::move(name));
    }
    Py_DECREF(items);
    return ok;
}

bool parse_names(PyObject *value, CodeNames &names) {
    if (value == Py_None) return true;
    PyObject *fields = PySequence_Fast(value, "names: None or a sequence of (field, bits, pairs)");
    if (!fields) return false;
    bool ok = true;
    for (Py_ssize_t i = 0; ok && i < PySequence_Fast_GET_SIZE(fields); ++i)
        ok = guarded([&] { return add_field_names(PySequence_Fast_GET_ITEM(fields, i), names); });
    Py_DECREF(fields);
    return ok;
}

PyObject *walk_actions(PyObject *, PyObject *args) {
    PyObject *file = nullptr, *names_value = Py_None;
    int plain = 0, listing = 0;
    Py_ssize_t kept = 0;
    if (!PyArg_ParseTuple(args, "O|iiOn:_walk_actions", &file, &plain, &listing, &names_value, &kept))
        return nullptr;
    CodeNames names;  // parsed first: the conversions may run Python code
    if (!parse_names(names_value, names)) return nullptr;
    return reinterpret_cast<PyObject *>(WalkType::make(file, plain != 0, listing != 0, &names,
                                                       static_cast<std::size_t>(kept < 0 ? 0 : kept)));
}

PyMethodDef functions[] = {
    {"_walk_actions", walk_actions, METH_VARARGS,
     "Iterator over the actions read from a binary file object: dump's text (listing=1) or "
     "check's findings, a block at a time; plain=1 takes its bytes as uncompressed."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyObject *damage_facts(const ActionDamage &d, const std::string &report) {
    PyObject *action_id = d.identified ? PyLong_FromUnsignedLong(d.action_id) : (Py_INCREF(Py_None), Py_None);
    PyObject *type = d.detail && d.part != ActionPart::detail_header
                         ? PyLong_FromUnsignedLong(d.detail_type)
                         : (Py_INCREF(Py_None), Py_None);
    if (!action_id || !type) {
        Py_XDECREF(action_id);
        Py_XDECREF(type);
        return nullptr;
    }
    // No "#" formats: the companion is built without PY_SSIZE_T_CLEAN, and the texts hold no
    // zero byte.
    return Py_BuildValue("{s:s,s:K,s:K,s:N,s:N,s:s,s:s,s:n,s:n,s:N,s:K,s:K,s:K,s:K,s:s}", "reason",
                         reason_name(d.reason), "action", static_cast<unsigned long long>(d.action),
                         "action_offset", static_cast<unsigned long long>(d.action_offset), "action_id",
                         action_id, "spell", PyBool_FromLong(d.spell), "record", part_name(d.part), "field", d.field.c_str(), "detail", static_cast<Py_ssize_t>(d.detail),
                         "details", static_cast<Py_ssize_t>(d.details), "detail_type", type, "entries",
                         static_cast<unsigned long long>(d.entries), "offset",
                         static_cast<unsigned long long>(d.part_offset), "size",
                         static_cast<unsigned long long>(d.part_size), "present",
                         static_cast<unsigned long long>(d.present), "report", report.c_str());
}

bool add_action_walk(PyObject *module) {
    if (!WalkType::ready("_qn4tGenericActionSupport.ActionWalk", next_block_of<WalkObject, walk_step>, nullptr, walk_getset)) return false;
    return add_functions(module, functions);
}

}  // namespace qn4t
