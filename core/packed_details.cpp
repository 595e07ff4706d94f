// Details kept packed, through the whole-action codec: packing encodes the action and keeps
// what follows its header; unpacking decodes the details behind a header that has no texts.
#include "packed_details.h"

#include <cstdint>
#include <limits>

namespace qn4t {

bool packs_exactly(const WholeAction &action) {
    if (action.details.size() != action.head.numDetails) return false;
    for (const WholeDetail &d : action.details) {
        bool exact = d.known() || d.raw.size() == d.header.length;
        visit_body_type(d.header.type, [&](auto tag) {
            using R = typename decltype(tag)::type;
            if constexpr (has_entries<R>) exact = d.body<R>().*(Layout<R>::entry_count) == d.stats.size();
        });
        if (!exact) return false;
    }
    return true;
}

std::size_t packed_size(const WholeAction &action) {
    return encoded_size(action) - kHeadSize - variable_size(action.head);
}

void pack_details(const WholeAction &action, std::string &out) {
    const std::size_t start = out.size();
    encode_action(action, out);
    out.erase(start, kHeadSize + variable_size(action.head));
}

bool unpack_details(std::string_view bytes, std::size_t count, std::vector<WholeDetail> &details) {
    if (count > std::numeric_limits<decltype(qn4tGeneric_Action_Header::numDetails)>::max()) return false;
    WholeAction action;  // no texts, not a spell: the details follow the head at once
    action.head.numDetails = static_cast<std::uint8_t>(count);
    std::string input;
    input.reserve(kHeadSize + bytes.size());
    encode_action(action, input);
    input.append(bytes);
    const Decoded d = decode_action(reinterpret_cast<const std::uint8_t *>(input.data()), input.size(), action);
    if (!d.complete || d.used != input.size()) return false;
    details = std::move(action.details);
    return true;
}

}  // namespace qn4t
