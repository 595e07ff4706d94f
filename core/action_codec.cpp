// The whole-action codec over uncompressed bytes, walking the records' field tables: counts
// that follow the contents, encoding, and the decoder that takes an action in steps. No
// blocks, no gzip (block_reader.cpp, block_writer.cpp).
#include "action_file.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>

#include "codec.h"

namespace qn4t {
namespace {

constexpr std::size_t kDetailHeaderSize = record_wire_size<qn4tGeneric_Action_Detail_Header>();
using StatEntry = decltype(WholeDetail::stats)::value_type;
constexpr std::size_t kStatSize = record_wire_size<StatEntry>();

template <class Tag>
using BodyOf = typename Tag::type;

// Whether entry records follow the body of a detail's type.
bool carries_entries(const WholeDetail &d) {
    bool entries = false;
    visit_body_type(d.header.type, [&](auto tag) { entries = has_entries<BodyOf<decltype(tag)>>; });
    return entries;
}

// The body's count of the entries that follow it; 0 for a body without entries.
std::size_t entry_count(const WholeDetail &d) {
    std::size_t n = 0;
    visit_body_type(d.header.type, [&](auto tag) {
        using R = BodyOf<decltype(tag)>;
        if constexpr (has_entries<R>) {
            static_assert(std::is_same_v<typename Layout<R>::Entry, StatEntry>,
                          "WholeDetail::stats holds the entries of the body that has them");
            n = d.body<R>().*(Layout<R>::entry_count);
        }
    });
    return n;
}

// Bytes behind a detail's header: the body its type names in the record list with `entries`
// entry records, or its `length` for a raw body.
std::size_t body_bytes(const WholeDetail &d, std::size_t entries) {
    return detail_body_size(d.header.type, entries, d.header.length);
}

std::string detail_part(std::size_t index, const char *what) {
    return "detail " + std::to_string(index + 1) + "'s " + what;
}

template <class R>
const std::uint8_t *decode_fixed(R &record, const std::uint8_t *in) {
    return decode(record, Layout<R>::fields, in);
}

template <class R>
void encode_fixed(const R &record, std::string &out) {
    std::uint8_t buffer[record_wire_size<R>()];
    encode(record, Layout<R>::fields, buffer);
    out.append(reinterpret_cast<const char *>(buffer), sizeof buffer);
}

// Names a value that does not fit its field: "<field>: <value> is more than <limit>".
std::string too_large(std::string_view field, std::size_t value, std::size_t limit,
                      std::string_view what) {
    return std::string(field) + ": " + std::to_string(value) + std::string(what) +
           ", more than the field holds (0 to " + std::to_string(limit) + ")";
}

}  // namespace

std::string derive_counts(WholeAction &action) {
    qn4tGeneric_Action_Header &head = action.head;
    std::string problem;
    std::size_t n = 0;
    for_each_field(HeaderLayout::texts, [&](const auto &t) {
        using Length = std::remove_reference_t<decltype(head.*(t.length))>;
        const std::size_t size = action.texts[n++].size();
        if (problem.empty() && size > std::numeric_limits<Length>::max())
            problem = too_large(t.name, size, std::numeric_limits<Length>::max(), " bytes");
    });
    if (problem.empty() && action.details.size() > std::numeric_limits<decltype(head.numDetails)>::max())
        problem = too_large("details", action.details.size(),
                            std::numeric_limits<decltype(head.numDetails)>::max(), " details");
    for (std::size_t i = 0; problem.empty() && i < action.details.size(); ++i) {
        const WholeDetail &d = action.details[i];
        visit_body_type(d.header.type, [&](auto tag) {
            using R = BodyOf<decltype(tag)>;
            if constexpr (has_entries<R>) {
                using Count = std::remove_reference_t<decltype(d.body<R>().*(Layout<R>::entry_count))>;
                if (d.stats.size() > std::numeric_limits<Count>::max())
                    problem = too_large(detail_part(i, "stats"), d.stats.size(),
                                        std::numeric_limits<Count>::max(), " entries");
            }
        });
        if (!d.known() &&
            d.raw.size() > std::numeric_limits<decltype(d.header.length)>::max())
            problem = too_large(detail_part(i, "body"), d.raw.size(),
                                std::numeric_limits<decltype(d.header.length)>::max(), " bytes");
    }
    if (!problem.empty()) return problem;

    n = 0;
    for_each_field(HeaderLayout::texts, [&](const auto &t) {
        using Length = std::remove_reference_t<decltype(head.*(t.length))>;
        head.*(t.length) = static_cast<Length>(action.texts[n++].size());
    });
    head.numDetails = static_cast<std::uint8_t>(action.details.size());
    for (WholeDetail &d : action.details) {
        visit_body_type(d.header.type, [&](auto tag) {
            using R = BodyOf<decltype(tag)>;
            if constexpr (has_entries<R>) {
                auto &count = d.body<R>().*(Layout<R>::entry_count);
                count = static_cast<std::remove_reference_t<decltype(count)>>(d.stats.size());
            }
        });
        if (!d.known()) d.header.length = static_cast<std::uint16_t>(d.raw.size());
    }
    return problem;
}

std::size_t encoded_size(const WholeAction &action) {
    std::size_t size = kHeadSize + variable_size(action.head);
    for (std::size_t i = 0; i < action.head.numDetails && i < action.details.size(); ++i) {
        const WholeDetail &d = action.details[i];
        size += kDetailHeaderSize + body_bytes(d, entry_count(d));
    }
    return size;
}

void encode_action(const WholeAction &action, std::string &out) {
    const qn4tGeneric_Action_Header &head = action.head;
    const std::size_t start = out.size();
    out.resize(start + kHeadSize);
    encode(head, HeaderLayout::head, reinterpret_cast<std::uint8_t *>(&out[start]));
    std::size_t n = 0;
    for_each_field(HeaderLayout::texts, [&](const auto &t) {
        const std::string &text = action.texts[n++];
        const std::size_t size = head.*(t.length);
        out.append(text, 0, std::min(size, text.size()));
        if (size > text.size()) out.append(size - text.size(), '\0');
    });
    if (is_spell(head)) {
        std::uint8_t trailer[kTrailerSize];
        encode(head, HeaderLayout::trailer, trailer);
        out.append(reinterpret_cast<const char *>(trailer), sizeof trailer);
    }
    for (std::size_t i = 0; i < head.numDetails && i < action.details.size(); ++i) {
        const WholeDetail &d = action.details[i];
        encode_fixed(d.header, out);
        const bool known = visit_body_type(d.header.type, [&](auto tag) {
            encode_fixed(d.body<BodyOf<decltype(tag)>>(), out);
        });
        if (known) {
            const std::size_t count = entry_count(d);
            for (std::size_t k = 0; k < count && k < d.stats.size(); ++k) encode_fixed(d.stats[k], out);
        } else {
            out.append(d.raw, 0, std::min<std::size_t>(d.header.length, d.raw.size()));
            if (d.header.length > d.raw.size()) out.append(d.header.length - d.raw.size(), '\0');
        }
    }
}

Decoded ActionDecoder::cut(std::size_t wanted, ActionPart where, std::string part) const {
    Decoded d;
    d.where = where;
    d.detail = detail_;
    d.used = taken_;
    d.needed = d.goes_on_at = taken_ + wanted;
    d.part = std::move(part);
    d.part_offset = taken_;
    return d;
}

Decoded ActionDecoder::cut_in_stats() const {
    Decoded d;
    d.used = taken_;
    d.needed = taken_ + kStatSize * stats_left_;
    d.goes_on_at = taken_ + kStatSize;  // the next entry: whole entries are decoded as they come
    d.part = detail_part(detail_, "stat entries");
    d.where = ActionPart::stat_entries;
    d.detail = detail_;
    d.part_offset = stats_start_;
    return d;
}

Decoded ActionDecoder::step(const std::uint8_t *data, std::size_t size, WholeAction &action) {
    qn4tGeneric_Action_Header &head = action.head;
    std::size_t at = 0;
    auto take = [&](std::size_t n) {
        at += n;
        taken_ += n;
    };
    for (;;) {
        const std::size_t left = size - at;
        switch (stage_) {
        case Stage::head:
            if (left < kHeadSize) return cut(kHeadSize, ActionPart::head, "the head");
            decode(head, HeaderLayout::head, data + at);
            take(kHeadSize);
            stage_ = Stage::texts;
            break;
        case Stage::texts: {
            const std::size_t length = variable_size(head) - (is_spell(head) ? kTrailerSize : 0);
            if (left < length) return cut(length, ActionPart::texts, "the texts");
            std::size_t n = 0;
            for_each_field(HeaderLayout::texts, [&](const auto &t) {
                const std::size_t text = head.*(t.length);
                action.texts[n++].assign(reinterpret_cast<const char *>(data + at), text);
                take(text);
            });
            stage_ = Stage::trailer;
            break;
        }
        case Stage::trailer:
            if (is_spell(head)) {
                if (left < kTrailerSize) return cut(kTrailerSize, ActionPart::trailer, "the spell trailer");
                decode(head, HeaderLayout::trailer, data + at);
                take(kTrailerSize);
            } else {
                // A whole action starts afresh: no spell fields from an action decoded before.
                for_each_field(HeaderLayout::trailer, [&](const auto &f) {
                    std::memset(&(head.*(f.member)), 0, sizeof(head.*(f.member)));
                });
            }
            action.details.resize(head.numDetails);
            stage_ = Stage::detail_header;
            break;
        case Stage::detail_header:
            if (detail_ == action.details.size()) {
                stage_ = Stage::done;
                break;
            }
            if (left < kDetailHeaderSize)
                return cut(kDetailHeaderSize, ActionPart::detail_header, detail_part(detail_, "header"));
            decode_fixed(action.details[detail_].header, data + at);
            take(kDetailHeaderSize);
            stage_ = Stage::detail_body;
            break;
        case Stage::detail_body: {
            WholeDetail &d = action.details[detail_];
            const std::size_t body = body_bytes(d, 0);  // the entries are decoded one by one after it
            if (left < body) return cut(body, ActionPart::detail_body, detail_part(detail_, "body"));
            const bool known = visit_body_type(d.header.type, [&](auto tag) {
                decode_fixed(d.body<BodyOf<decltype(tag)>>(), data + at);
            });
            if (!known) d.raw.assign(reinterpret_cast<const char *>(data + at), body);
            take(body);
            d.stats.clear();
            if (!carries_entries(d)) {
                ++detail_;
                stage_ = Stage::detail_header;
                break;
            }
            stats_left_ = entry_count(d);
            stats_start_ = taken_;
            // Beyond what an action may hold the entries are only counted: whether the input
            // holds them all decides between a cut file and an action too large to read.
            skimming_ = stats_left_ > kMaxHeldStats - held_stats_;
            stage_ = Stage::stats;
            break;
        }
        case Stage::stats: {
            WholeDetail &d = action.details[detail_];
            const std::size_t n = std::min(stats_left_, left / kStatSize);
            if (!skimming_) {
                // Grows with the entries that arrived, never to the declared count at once.
                const std::size_t first = d.stats.size();
                d.stats.resize(first + n);
                for (std::size_t k = 0; k < n; ++k)
                    decode_fixed(d.stats[first + k], data + at + k * kStatSize);
                held_stats_ += n;
            }
            take(n * kStatSize);
            stats_left_ -= n;
            if (stats_left_) return cut_in_stats();
            if (skimming_) {
                Decoded d;
                d.used = taken_;
                d.where = ActionPart::stat_entries;
                d.detail = detail_;
                d.part_offset = stats_start_;
                d.needed = taken_;
                d.refused = "detail " + std::to_string(detail_ + 1) + " has " +
                            std::to_string(entry_count(action.details[detail_])) +
                            " stat entries, more than an action read whole may hold (" +
                            std::to_string(kMaxHeldStats) + " in all its details)";
                return d;
            }
            ++detail_;
            stage_ = Stage::detail_header;
            break;
        }
        case Stage::done: {
            Decoded d;
            d.complete = true;
            d.used = taken_;
            return d;
        }
        }
    }
}

Decoded decode_action(const std::uint8_t *data, std::size_t size, WholeAction &action) {
    ActionDecoder decoder;
    return decoder.step(data, size, action);
}

}  // namespace qn4t
