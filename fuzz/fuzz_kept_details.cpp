// Kept details unpack to what an eager read gives: an action decoded from any bytes whose
// details pack exactly packs to packed_size() bytes, and those bytes unpack to details that
// encode exactly as the eagerly decoded ones. And unpacking any bytes never crashes; what
// it accepts packs back to the same bytes.
//
// Input: one byte, the detail count for unpacking the rest as it is; the rest, the
// uncompressed bytes of an action (or of details, for the direct unpack).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/action_file.h"
#include "core/packed_details.h"
#include "memory_file.h"

namespace {

using namespace qn4t_fuzz;

std::string encoded(const qn4t::WholeAction &action) {
    std::string out;
    qn4t::encode_action(action, out);
    return out;
}

// The eager read against the kept form of the same action.
void check_kept_like_eager(const std::uint8_t *data, std::size_t size) {
    qn4t::WholeAction eager;
    const qn4t::Decoded d = qn4t::decode_action(data, size, eager);
    if (!d.complete || !qn4t::packs_exactly(eager)) return;
    std::string packed;
    qn4t::pack_details(eager, packed);
    if (packed.size() != qn4t::packed_size(eager)) fail("packed_size differs from the bytes packed");
    qn4t::WholeAction kept;  // the same action, its details then replaced by the unpacked ones
    qn4t::decode_action(data, size, kept);
    kept.details.clear();
    if (!qn4t::unpack_details(packed, eager.head.numDetails, kept.details)) fail("packed details do not unpack");
    if (encoded(kept) != encoded(eager)) fail("kept details unpack to other values than an eager read");
}

// Any bytes as packed details: refused, or the same bytes packed again.
void check_unpack(std::string_view bytes, std::size_t count) {
    qn4t::WholeAction action;
    if (!qn4t::unpack_details(bytes, count, action.details)) return;
    if (action.details.size() != count) fail("unpacked a number of details other than asked");
    action.head.numDetails = static_cast<std::uint8_t>(count);
    std::string packed;
    qn4t::pack_details(action, packed);
    if (packed != bytes) fail("unpacked details do not pack back to their bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    check_kept_like_eager(data + 1, size - 1);
    check_unpack(std::string_view(reinterpret_cast<const char *>(data + 1), size - 1), data[0]);
    return 0;
}
