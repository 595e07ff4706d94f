// An action's details kept as the file holds them: the bytes behind its texts (and spell
// trailer), one detail record after another. An action read whole keeps them so until
// something asks for its details, which costs one block instead of a few objects per detail.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "action_file.h"

namespace qn4t {

// Whether the details of `action` pack and unpack to exactly the same values: numDetails
// counts them, each raw body is as long as its `length`, and each body's entry count is its
// number of entries (all true of an action as decoded). Otherwise the bytes would not say
// the same as the fields.
bool packs_exactly(const WholeAction &action);

// The most bytes of details kept packed: an action larger than that (stat entries by the
// thousand) is made objects at once, which take its entries without a copy.
constexpr std::size_t kMostPackedBytes = 64 * 1024;

// Bytes the details of `action` take packed, from its count and length fields.
std::size_t packed_size(const WholeAction &action);

// Appends the bytes of the details of `action` as encode_action writes them.
void pack_details(const WholeAction &action, std::string &out);

// Decodes `count` details from `bytes` into `details`; false, and `details` left unspecified,
// unless the bytes hold exactly that many whole details.
bool unpack_details(std::string_view bytes, std::size_t count, std::vector<WholeDetail> &details);

}  // namespace qn4t
