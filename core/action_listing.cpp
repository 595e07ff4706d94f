// Counts, dump's lines, length notes, the actionID set and the field a damaged action ends in,
// walking the records' field tables.
#include "action_listing.h"

#include <algorithm>
#include <charconv>
#include <type_traits>

#include "core/text.h"

namespace qn4t {
namespace {

using StatEntry = EntryRecord;

void append_number(std::string &out, long long value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, static_cast<std::size_t>(end - digits));
}

template <class V>
long long number_of(V value) {
    static_assert(std::is_integral_v<V>, "a field dump lists is an integer");
    return static_cast<long long>(value);
}

void append_byte_escape(std::string &out, unsigned char byte) {
    static const char hex[] = "0123456789abcdef";
    out += "\\x";
    out += hex[byte >> 4];
    out += hex[byte & 15];
}

// A text as dump shows it, in double quotes: UTF-8 as it stands but control characters, DEL
// and the quote as \xNN; bytes that are not UTF-8 all as \xNN but printable ASCII.
void append_shown(std::string &out, std::string_view bytes) {
    const bool utf8 = is_utf8(bytes);
    out += '"';
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        const bool escaped = byte < 32 || byte == 127 || byte == '"' || (!utf8 && byte > 127);
        if (escaped)
            append_byte_escape(out, byte);
        else
            out += c;
    }
    out += '"';
}

// The action's name up to its first zero byte.
std::string_view shown_name(const WholeAction &action) {
    std::string_view name;
    std::size_t n = 0;
    for_each_field(HeaderLayout::texts, [&](const auto &t) {
        if (same_member<std::decay_t<decltype(t)>::member, &qn4tGeneric_Action_Header::name>())
            name = action.texts[n];
        ++n;
    });
    return name.substr(0, name.find('\0'));
}

void append_action_line(const WholeAction &action, std::uint64_t number, const CodeNames &names,
                        std::string &out) {
    const qn4tGeneric_Action_Header &h = action.head;
    out += '#';
    append_number(out, static_cast<long long>(number));
    out += " id ";
    append_number(out, number_of(h.actionID));
    out += ' ';
    append_shown(out, shown_name(action));
    out += " type ";
    names.append(out, "actionType", number_of(h.actionType));
    out += " level ";
    append_number(out, number_of(h.levelAcquired));
    out += " target ";
    names.append(out, "targetType", number_of(h.targetType));
    out += " range ";
    append_number(out, number_of(h.range));
    if (is_spell(h)) {
        std::string_view code(h.spellCode, sizeof h.spellCode - 1);
        while (!code.empty() && code.back() == '\0') code.remove_suffix(1);
        out += " spell ";
        append_shown(out, code);
        out += " cost ";
        append_number(out, number_of(h.spellCost));
        out += " path ";
        append_number(out, number_of(h.spellPath));
    }
    out += '\n';
}

template <class R>
void append_fields(const R &body, const CodeNames &names, std::string &out) {
    bool any = false;
    for_each_field(Layout<R>::fields, [&](const auto &f) {
        const long long value = number_of(body.*(std::decay_t<decltype(f)>::member));
        if (!value) return;
        if (any) out += ' ';
        any = true;
        out.append(f.name.data(), f.name.size());
        out += '=';
        names.append(out, f.name, value);
    });
    if (!any) out += "(all 0)";
}

void append_detail_line(const WholeDetail &d, std::size_t number, const CodeNames &names,
                        std::string &out) {
    out += "    ";
    append_number(out, static_cast<long long>(number));
    out += ". ";
    const bool known = visit_body_type(d.header.type, [&](auto tag) {
        using R = typename decltype(tag)::type;
        out.append(Layout<R>::title.data(), Layout<R>::title.size());
        out += ": ";
        append_fields(d.body<R>(), names, out);
    });
    if (!known) {
        out += "unknown type ";
        append_number(out, number_of(d.header.type));
        out += ": ";
        append_number(out, number_of(d.header.length));
        out += " body bytes skipped";
    }
    out += '\n';
}

// Appends entries of the detail from at.entry on, until all are listed or `out` holds
// `limit` bytes; whether all are.
bool append_entries(const WholeDetail &d, const CodeNames &names, std::string &out, ListingCursor &at,
                    std::size_t limit) {
    const std::size_t count = d.stats.size();
    for (; at.entry < count; ++at.entry) {
        if (out.size() >= limit) return false;
        const StatEntry &e = d.stats[at.entry];
        out += at.entry == 0 ? "       stats " : " ";
        names.append(out, "stat", number_of(e.stat));
        out += ':';
        if (e.modAmt >= 0) out += '+';
        append_number(out, number_of(e.modAmt));
    }
    out += '\n';
    return true;
}

// The field of `fields` in whose bytes offset `at` of the record falls ("" past the end).
template <class Tuple>
std::string field_at(const Tuple &fields, std::uint64_t at) {
    std::string name;
    std::uint64_t start = 0;
    for_each_field(fields, [&](const auto &f) {
        const std::uint64_t width = wire_width<std::decay_t<decltype(f)>>();
        if (name.empty() && at < start + width) name = std::string(f.name);
        start += width;
    });
    return name;
}

}  // namespace

void WalkCounts::add(const WholeAction &action) {
    ++actions;
    if (is_spell(action.head)) ++spells;
    for (const WholeDetail &d : action.details) {
        const bool known = visit_body_type(d.header.type, [&](auto tag) {
            using R = typename decltype(tag)::type;
            ++details[Layout<R>::detail_type - 1];
            if constexpr (has_entries<R>) stats += d.body<R>().*(Layout<R>::entry_count);
        });
        if (!known) ++unknown_details;
    }
}

CodeNames::Named &CodeNames::named(const std::string &field) {
    for (auto &entry : fields_)
        if (entry.first == field) return entry.second;
    fields_.emplace_back(field, Named());
    return fields_.back().second;
}

void CodeNames::add_field(const std::string &field, bool by_bits) {
    Named &n = named(field);
    n.by_codes = n.by_codes || !by_bits;
}

void CodeNames::add_code(const std::string &field, long long code, std::string name) {
    Named &n = named(field);
    n.by_codes = true;
    n.codes[code] = std::move(name);
}

void CodeNames::add_bit(const std::string &field, long long bit, std::string name) {
    named(field).bits[bit] = std::move(name);
}

void CodeNames::append(std::string &out, std::string_view field, long long value) const {
    append_number(out, value);
    const Named *n = nullptr;
    for (const auto &entry : fields_)
        if (entry.first == field) n = &entry.second;
    if (!n) return;
    std::string name;
    if (n->by_codes) {
        const auto found = n->codes.find(value);
        if (found != n->codes.end()) name = found->second;
    } else {
        // The bits of the value's magnitude, taken from the value itself: a negative value's
        // bits are those of its two's complement, as Python's shifts give them.
        unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                                 : static_cast<unsigned long long>(value);
        for (long long bit = 0; magnitude; ++bit, magnitude >>= 1) {
            if (!((value >> bit) & 1)) continue;
            if (!name.empty()) name += '|';
            const auto found = n->bits.find(bit);
            name += found != n->bits.end() ? found->second : "bit" + std::to_string(bit);
        }
    }
    if (name.empty()) return;
    out += '(';
    out += name;
    out += ')';
}

bool append_action_lines(const WholeAction &action, std::uint64_t number, const CodeNames &names,
                         std::string &out, ListingCursor &at, std::size_t limit) {
    if (!at.started) {
        append_action_line(action, number, names, out);
        at.started = true;
    }
    for (; at.detail < action.details.size(); ++at.detail) {
        const WholeDetail &d = action.details[at.detail];
        if (!at.in_entries) {
            append_detail_line(d, at.detail + 1, names, out);
            if (d.stats.empty()) continue;
            at.in_entries = true;
            at.entry = 0;
        }
        if (!append_entries(d, names, out, at, limit)) return false;
        at.in_entries = false;
    }
    at = ListingCursor();
    return true;
}

std::string_view body_title(std::uint16_t type) {
    std::string_view title;
    visit_body_type(type, [&](auto tag) { title = Layout<typename decltype(tag)::type>::title; });
    return title;
}

bool IdSet::add(std::uint32_t id) {
    constexpr std::size_t kBitmapBytes = 8192;
    constexpr std::size_t kListedMost = kBitmapBytes / sizeof(std::uint16_t);
    Page &page = pages_[id >> 16];
    const auto low = static_cast<std::uint16_t>(id & 0xffff);
    if (!page.bitmap.empty()) {
        const std::uint8_t bit = static_cast<std::uint8_t>(1u << (low & 7));
        if (page.bitmap[low >> 3] & bit) return true;
        page.bitmap[low >> 3] |= bit;
        return false;
    }
    const auto at = std::lower_bound(page.listed.begin(), page.listed.end(), low);
    if (at != page.listed.end() && *at == low) return true;
    if (page.listed.size() < kListedMost) {
        page.listed.insert(at, low);
        return false;
    }
    page.bitmap.assign(kBitmapBytes, 0);
    page.listed.push_back(low);
    for (const std::uint16_t value : page.listed)
        page.bitmap[value >> 3] |= static_cast<std::uint8_t>(1u << (value & 7));
    std::vector<std::uint16_t>().swap(page.listed);
    return false;
}

std::string damaged_field(const ActionDamage &damage, const qn4tGeneric_Action_Header &head) {
    const std::uint64_t at = damage.present;
    switch (damage.part) {
    case ActionPart::head:
        return field_at(HeaderLayout::head, at);
    case ActionPart::trailer:
        return field_at(HeaderLayout::trailer, at);
    case ActionPart::detail_header:
        return field_at(DetailHeaderLayout::fields, at);
    case ActionPart::texts: {
        std::string name;
        std::uint64_t start = 0;
        for_each_field(HeaderLayout::texts, [&](const auto &t) {
            const std::uint64_t length = head.*(t.length);
            if (name.empty() && at < start + length) name = std::string(t.name);
            start += length;
        });
        return name;
    }
    case ActionPart::detail_body: {
        std::string name;
        visit_body_type(damage.detail_type, [&](auto tag) {
            name = field_at(Layout<typename decltype(tag)::type>::fields, at);
        });
        return name;
    }
    case ActionPart::stat_entries: {
        std::string name;
        visit_body_type(damage.detail_type, [&](auto tag) {
            using R = typename decltype(tag)::type;
            if constexpr (has_entries<R>) {
                if (damage.reason == ActionDamage::Reason::too_large) {
                    for_each_field(Layout<R>::fields, [&](const auto &f) {
                        if (same_member<std::decay_t<decltype(f)>::member, Layout<R>::entry_count>())
                            name = std::string(f.name);
                    });
                } else {
                    name = field_at(Layout<typename Layout<R>::Entry>::fields,
                                    at % record_wire_size<typename Layout<R>::Entry>());
                }
            }
        });
        return name;
    }
    }
    return std::string();
}

}  // namespace qn4t
