// What a walk over whole actions tells about a file without a Python object per action: the
// records counted per kind, each action's lines as `actiontool dump` lists them, the details
// whose length differs from their body, a compact set of the actionIDs seen, and the record
// and field in which a damaged action ends. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "action_file.h"

namespace qn4t {

constexpr std::size_t kBodyKinds = DetailBodyTypes::size;

// Records seen so far, per kind. `details` is by detail type number, from 1; `stats` adds
// the bodies' own counts of their stat entries.
struct WalkCounts {
    std::uint64_t actions = 0;
    std::uint64_t spells = 0;
    std::uint64_t details[kBodyKinds] = {};
    std::uint64_t unknown_details = 0;
    std::uint64_t stats = 0;

    void add(const WholeAction &action);
};

// Names for the values of chosen fields, shown beside the value: "1(fire)". A field is named
// by its codes, or else by the names of its set bits joined with "|" (an unnamed bit as
// "bitN"); a field with names of neither kind, or a name that comes out empty, shows the
// value alone.
class CodeNames {
public:
    // Names `field` by codes or by bits, with no name yet: its values show no name until one
    // is added, and a field named by bits shows an unnamed bit as "bitN".
    void add_field(const std::string &field, bool by_bits);
    void add_code(const std::string &field, long long code, std::string name);
    void add_bit(const std::string &field, long long bit, std::string name);
    bool empty() const { return fields_.empty(); }
    // Appends `value` as dump shows it in `field`.
    void append(std::string &out, std::string_view field, long long value) const;

private:
    struct Named {
        bool by_codes = false;
        std::unordered_map<long long, std::string> codes;
        std::unordered_map<long long, std::string> bits;
    };
    Named &named(const std::string &field);
    std::vector<std::pair<std::string, Named>> fields_;  // few: looked up by a walk along them
};

// Where dump's text of an action stands, so that the lines of an action of millions of stat
// entries go out a block at a time.
struct ListingCursor {
    bool started = false;     // the action's own line is written
    std::size_t detail = 0;   // the detail whose line comes next (or whose entries are being listed)
    bool in_entries = false;  // inside that detail's line of stat entries
    std::size_t entry = 0;    // its next entry
};

// Appends the lines of action number `number` (from 1) as dump lists them, each ending with
// "\n": the action's line, a line per detail, and a line of the stat entries of a detail that
// has any. Goes on from where `at` stands and stops between two stat entries once `out`
// holds `limit` bytes: true when the action is complete (`at` is then reset), false to be
// called again with the same action.
bool append_action_lines(const WholeAction &action, std::uint64_t number, const CodeNames &names,
                         std::string &out, ListingCursor &at, std::size_t limit);

// A known detail whose `length` differs from the bytes of its body and entries: legal, and
// kept as it stands, but worth a word.
struct LengthNote {
    std::uint64_t action = 0;  // from 1
    std::uint32_t action_id = 0;
    std::size_t detail = 0;    // from 1
    std::uint16_t length = 0;
    std::uint16_t type = 0;
    std::size_t body_size = 0;
};

// Calls note(LengthNote) for each such detail of the action, in order.
template <class Note>
void for_each_length_note(const WholeAction &action, std::uint64_t number, Note &&note);

// The title of a detail body kind in words ("damage"), or an empty view for another type.
std::string_view body_title(std::uint16_t type);

// A compact set of actionIDs: a sorted list of the lower 16 bits for each upper 16 bits in
// use, made a bitmap (8 KB) once the list would be larger. Memory stays about flat in the
// number of actions where IDs are dense, as in the game's files.
class IdSet {
public:
    // Adds `id`; whether it was there already.
    bool add(std::uint32_t id);

private:
    struct Page {
        std::vector<std::uint16_t> listed;  // in order, while no bitmap
        std::vector<std::uint8_t> bitmap;   // 8192 bytes, once made
    };
    std::unordered_map<std::uint32_t, Page> pages_;
};

// ---- template definitions ----

template <class Note>
void for_each_length_note(const WholeAction &action, std::uint64_t number, Note &&note) {
    for (std::size_t i = 0; i < action.details.size(); ++i) {
        const WholeDetail &d = action.details[i];
        visit_body_type(d.header.type, [&](auto tag) {
            using R = typename decltype(tag)::type;
            std::size_t entries = 0;
            if constexpr (has_entries<R>) entries = d.body<R>().*(Layout<R>::entry_count);
            const std::size_t size = body_wire_size<R>(entries);
            if (d.header.length != size)
                note(LengthNote{number, action.head.actionID, i + 1, d.header.length, d.header.type, size});
        });
    }
}

}  // namespace qn4t
