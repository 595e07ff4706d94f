// Whole actions as the page embeds them: the document form's JSON with the members of every
// object in name order, no spaces and only ASCII, "<", ">" and "&" escaped, made from the
// same field tables as the export's text (action_json_text.cpp) while the file is read.
#include "interface/page_json_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <numeric>
#include <string_view>
#include <tuple>
#include <type_traits>

#include <new>

#include "core/records.h"
#include "interface/json_form.h"

#if QN4T_WITH_OPENSSL
#include <openssl/evp.h>
#endif

namespace qn4t {
namespace {

// A detail's stat entries are the last of its members in name order, and an action's details
// hold the only list that may be long: everything but that list is written whole.
static_assert(kHeaderMember < kStatsMember && kBodyMember < kStatsMember,
              "a detail's stat entries come last in the page's text");

// The order of `names` sorted as Python sorts texts (by code point; the names are ASCII).
template <std::size_t N>
std::array<std::size_t, N> sorted_order(const std::array<std::string_view, N> &names) {
    std::array<std::size_t, N> order{};
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return names[a] < names[b]; });
    return order;
}

// The names of a table's fields, in the table's order.
template <class Table>
std::array<std::string_view, std::tuple_size_v<Table>> field_names(const Table &table) {
    std::array<std::string_view, std::tuple_size_v<Table>> names{};
    std::size_t k = 0;
    for_each_field(table, [&](const auto &f) { names[k++] = f.name; });
    return names;
}

// The order of a table's fields by name, worked out once per table.
template <class Table>
const std::array<std::size_t, std::tuple_size_v<Table>> &name_order(const Table &table) {
    static const auto order = sorted_order(field_names(table));
    return order;
}

// The members of the action object: its head's fields, its texts, the spell trailer and the
// list of details, each a slot of the table below.
constexpr std::size_t kHeadSlots = std::tuple_size_v<std::remove_const_t<decltype(HeaderLayout::head)>>;
constexpr std::size_t kTextSlots = std::tuple_size_v<std::remove_const_t<decltype(HeaderLayout::texts)>>;
constexpr std::size_t kTrailerSlots =
    std::tuple_size_v<std::remove_const_t<decltype(HeaderLayout::trailer)>>;
constexpr std::size_t kActionSlots = kHeadSlots + kTextSlots + kTrailerSlots + 1;
constexpr std::size_t kDetailsSlot = kActionSlots - 1;

struct ActionSlots {
    std::array<std::string_view, kActionSlots> names{};
    std::array<std::size_t, kActionSlots> order{};
    std::size_t details_at = 0;  // where the details stand in `order`
};

const ActionSlots &action_slots() {
    static const ActionSlots slots = [] {
        ActionSlots s;
        std::size_t k = 0;
        for_each_field(HeaderLayout::head, [&](const auto &f) { s.names[k++] = f.name; });
        for_each_field(HeaderLayout::texts, [&](const auto &t) { s.names[k++] = t.name; });
        for_each_field(HeaderLayout::trailer, [&](const auto &f) { s.names[k++] = f.name; });
        s.names[kDetailsSlot] = kDetailsMember;
        s.order = sorted_order(s.names);
        s.details_at = static_cast<std::size_t>(
            std::find(s.order.begin(), s.order.end(), kDetailsSlot) - s.order.begin());
        return s;
    }();
    return slots;
}

// One member of the action object as it is written: an integer, a text (a string where its
// bytes are UTF-8, else hex) or absent (a derived count; the trailer of an action that is
// not a spell).
struct Slot {
    enum Kind { absent, integer, text } kind = absent;
    long long value = 0;
    std::string_view bytes;
    bool utf8 = false;
};

class PageText {
public:
    explicit PageText(std::string &out) : out_(out) {}

    // Appends the text of `a` from where `at` stands until the text reaches `limit` bytes
    // between two stat entries; true when the action's text is complete.
    bool action(const WholeAction &a, JsonCursor &at, std::size_t limit) {
        const ActionSlots &slots = action_slots();
        if (!at.started) {
            fill_slots(a);
            out_ += '{';
            for (std::size_t k = 0; k < slots.details_at; ++k) {
                if (member(slots.order[k], slots.names)) out_ += ',';
            }
            key(kDetailsMember);
            out_ += '[';
            at.started = true;
        }
        for (; at.detail < a.details.size(); ++at.detail) {
            const WholeDetail &d = a.details[at.detail];
            if (!at.in_entries) {
                if (at.detail) out_ += ',';
                at.in_entries = detail_open(d);
                at.entry = 0;
                if (!at.in_entries) continue;  // closed already: no entries follow its body
            }
            if (!entries(d.stats, at.entry, limit)) return false;
            at.in_entries = false;
            out_ += "]}";
        }
        out_ += ']';
        fill_slots(a);  // again: another action may have been written since this one began
        for (std::size_t k = slots.details_at + 1; k < kActionSlots; ++k) {
            if (slots_[slots.order[k]].kind == Slot::absent) continue;
            out_ += ',';
            member(slots.order[k], slots.names);
        }
        out_ += '}';
        at = JsonCursor();
        return true;
    }

private:
    // The action's members into slots_, in the order of action_slots().names.
    void fill_slots(const WholeAction &a) {
        std::size_t k = 0;
        for_each_field(HeaderLayout::head, [&](const auto &f) {
            using F = std::decay_t<decltype(f)>;
            Slot &slot = slots_[k++];
            slot = Slot();
            if constexpr (!is_derived_count<F::member>()) {
                slot.kind = Slot::integer;
                slot.value = static_cast<long long>(a.head.*(F::member));
            }
        });
        std::size_t n = 0;
        for_each_field(HeaderLayout::texts, [&](const auto &) {
            Slot &slot = slots_[k++];
            slot = Slot();
            slot.kind = Slot::text;
            slot.bytes = a.texts[n++];
            slot.utf8 = is_utf8(slot.bytes);
        });
        const bool spell = is_spell(a.head);
        for_each_field(HeaderLayout::trailer, [&](const auto &f) {
            using F = std::decay_t<decltype(f)>;
            Slot &slot = slots_[k++];
            slot = Slot();
            if (!spell) return;
            if constexpr (std::is_array_v<typename F::value>) {
                const auto &code = a.head.*(F::member);
                const CodeForm form = code_form(std::string_view(code, std::extent_v<typename F::value> - 1));
                slot.kind = Slot::text;
                slot.bytes = form.bytes;
                slot.utf8 = form.utf8;
            } else {
                slot.kind = Slot::integer;
                slot.value = static_cast<long long>(a.head.*(F::member));
            }
        });
        slots_[kDetailsSlot] = Slot();
    }

    // Writes the member in slot k; false when it is absent (nothing written).
    bool member(std::size_t k, const std::array<std::string_view, kActionSlots> &names) {
        const Slot &slot = slots_[k];
        if (slot.kind == Slot::absent) return false;
        key(names[k]);
        if (slot.kind == Slot::integer) integer(slot.value);
        else if (slot.utf8) string(slot.bytes);
        else hex_object(slot.bytes);
        return true;
    }

    void key(std::string_view name) {
        out_ += '"';
        out_ += name;  // a field's name: plain ASCII letters, digits and "_"
        out_ += "\":";
    }

    void integer(long long value) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        out_.append(digits, end);
    }

    void escape(unsigned code) {
        static const char hex[] = "0123456789abcdef";
        const char escaped[] = {'\\', 'u', hex[code >> 12 & 0xF], hex[code >> 8 & 0xF],
                                hex[code >> 4 & 0xF], hex[code & 0xF]};
        out_.append(escaped, sizeof escaped);
    }

    // A JSON string of UTF-8 bytes in ASCII: the quote, the backslash and the control
    // characters escaped as the json module's encode_basestring_ascii does, every other
    // character outside " " to "~" as \uXXXX (a surrogate pair past U+FFFF), and <, > and &
    // as \u escapes so that no text can end or open markup around the page's data.
    void string(std::string_view bytes) {
        out_ += '"';
        const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
        const std::size_t size = bytes.size();
        std::size_t plain = 0;  // start of the bytes not yet copied
        for (std::size_t k = 0; k < size;) {
            const unsigned char c = p[k];
            if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '<' && c != '>' && c != '&') {
                ++k;
                continue;
            }
            out_.append(bytes.data() + plain, k - plain);
            if (c < 0x80) {
                ++k;
                switch (c) {
                case '"': out_ += "\\\""; break;
                case '\\': out_ += "\\\\"; break;
                case '\b': out_ += "\\b"; break;
                case '\f': out_ += "\\f"; break;
                case '\n': out_ += "\\n"; break;
                case '\r': out_ += "\\r"; break;
                case '\t': out_ += "\\t"; break;
                default: escape(c);
                }
            } else {
                const std::size_t follow = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;  // checked UTF-8
                unsigned code = c & (0x3F >> follow);
                for (std::size_t n = 1; n <= follow; ++n) code = code << 6 | (p[k + n] & 0x3F);
                k += follow + 1;
                if (code >= 0x10000) {
                    code -= 0x10000;
                    escape(0xD800 | code >> 10);
                    escape(0xDC00 | (code & 0x3FF));
                } else {
                    escape(code);
                }
            }
            plain = k;
        }
        out_.append(bytes.data() + plain, size - plain);
        out_ += '"';
    }

    void hex_object(std::string_view bytes) {
        out_ += "{\"hex\":\"";
        append_hex(out_, bytes);
        out_ += "\"}";
    }

    // A record's integer fields in name order, leaving out those the form derives; `skip`
    // may leave out one more (a detail header's length that equals its body's size).
    template <class R, class Table, class Skip>
    void record(const R &r, const Table &table, Skip skip) {
        constexpr std::size_t kFields = std::tuple_size_v<Table>;
        const auto names = field_names(table);
        std::array<long long, kFields> values{};
        std::array<bool, kFields> shown{};
        std::size_t k = 0;
        for_each_field(table, [&](const auto &f) {
            using F = std::decay_t<decltype(f)>;
            if constexpr (std::is_integral_v<typename F::value> && !is_derived_count<F::member>()) {
                if (!skip(f)) {
                    values[k] = static_cast<long long>(r.*(F::member));
                    shown[k] = true;
                }
            }
            ++k;
        });
        out_ += '{';
        bool any = false;
        for (const std::size_t field : name_order(table)) {
            if (!shown[field]) continue;
            if (any) out_ += ',';
            any = true;
            key(names[field]);
            integer(values[field]);
        }
        out_ += '}';
    }

    template <class R, class Table>
    void record(const R &r, const Table &table) {
        record(r, table, [](const auto &) { return false; });
    }

    // A detail's body and header in name order; for a body that entries follow, the opening
    // of their list (true), otherwise the whole detail (false).
    bool detail_open(const WholeDetail &d) {
        std::size_t size = d.raw.size();
        visit_body_type(d.header.type, [&](auto tag) {
            using R = typename decltype(tag)::type;
            size = body_wire_size<R>(d.stats.size());
        });
        out_ += '{';
        bool entries_follow = false;
        auto header = [&] {
            key(kHeaderMember);
            record(d.header, DetailHeaderLayout::fields, [&](const auto &f) {
                using F = std::decay_t<decltype(f)>;
                return same_member<F::member, DetailHeaderLayout::body_length>() && d.header.*(F::member) == size;
            });
        };
        auto body = [&] {
            key(kBodyMember);
            const bool known = visit_body_type(d.header.type, [&](auto tag) {
                using R = typename decltype(tag)::type;
                record(d.body<R>(), Layout<R>::fields);
                entries_follow = has_entries<R>;
            });
            if (!known) hex_object(d.raw);
        };
        if (kBodyMember < kHeaderMember) {
            body();
            out_ += ',';
            header();
        } else {
            header();
            out_ += ',';
            body();
        }
        if (entries_follow) {
            out_ += ',';
            key(kStatsMember);
            out_ += '[';
            return true;
        }
        out_ += '}';
        return false;
    }

    // The entries from `next` on, until the text reaches `limit` bytes; true when all are
    // written, otherwise `next` is the first not written.
    template <class E>
    bool entries(const std::vector<E> &list, std::size_t &next, std::size_t limit) {
        for (; next < list.size(); ++next) {
            if (out_.size() >= limit) return false;
            if (next) out_ += ',';
            record(list[next], Layout<E>::fields);
        }
        return true;
    }

    std::string &out_;
    std::array<Slot, kActionSlots> slots_{};
};

}  // namespace

bool append_page_action_json(const WholeAction &action, std::string &out, JsonCursor &at,
                             std::size_t limit) {
    return PageText(out).action(action, at, limit);
}

#if QN4T_WITH_OPENSSL

namespace {
EVP_MD_CTX *context_of(void *context) { return static_cast<EVP_MD_CTX *>(context); }
}  // namespace

bool PageDigest::available() { return true; }

PageDigest::PageDigest() {
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    if (!context) throw std::bad_alloc();
    context_ = context;
    if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context);
        throw std::bad_alloc();
    }
    add("[");
}

PageDigest::~PageDigest() { EVP_MD_CTX_free(context_of(context_)); }

void PageDigest::add(std::string_view text) { EVP_DigestUpdate(context_of(context_), text.data(), text.size()); }

std::string PageDigest::hex() const {
    EVP_MD_CTX *closed = EVP_MD_CTX_new();
    if (!closed) throw std::bad_alloc();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    const bool made = EVP_MD_CTX_copy_ex(closed, context_of(context_)) == 1 &&
                      EVP_DigestUpdate(closed, "]", 1) == 1 && EVP_DigestFinal_ex(closed, digest, &size) == 1;
    EVP_MD_CTX_free(closed);
    if (!made) throw std::bad_alloc();
    std::string text;
    append_hex(text, std::string_view(reinterpret_cast<const char *>(digest), size));
    return text;
}

#else  // the package hashes the text itself

bool PageDigest::available() { return false; }
PageDigest::PageDigest() {}
PageDigest::~PageDigest() {}
void PageDigest::add(std::string_view) {}
std::string PageDigest::hex() const { return std::string(); }

#endif

}  // namespace qn4t
