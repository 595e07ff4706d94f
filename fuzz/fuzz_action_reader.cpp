// The whole-action reader never crashes on any bytes, and every action it reads encodes
// back to exactly the bytes it was read from: the actions read from plain content, encoded
// one after the other, are that content up to the reader's offset.
//
// Input: one byte whose lowest bit chooses plain content (1) or a gzip file (0), then the
// bytes. The source hands them out in pieces whose sizes come from the input's own bytes,
// so that actions and gzip members cross block ends anywhere. The reader inflates with the
// inflater the build chose (ISA-L where found, zlib otherwise).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/action_file.h"
#include "memory_file.h"

namespace {

using namespace qn4t_fuzz;

constexpr std::uint64_t kMostActions = 4096;

// Hands out the input in short pieces: the size of each is 1 plus the piece's first byte.
class PieceSource : public qn4t::ByteSource {
public:
    PieceSource(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    long read(std::uint8_t *out, std::size_t capacity) override {
        if (at_ == size_) return 0;
        const std::size_t piece = std::min({capacity, size_ - at_, std::size_t{1} + data_[at_]});
        std::copy(data_ + at_, data_ + at_ + piece, out);
        at_ += piece;
        return static_cast<long>(piece);
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    const bool plain = data[0] & 1;
    PieceSource source(data + 1, size - 1);
    qn4t::ActionReader reader(source, plain);
    qn4t::WholeAction action;
    std::string encoded;
    qn4t::ActionReader::Step step = qn4t::ActionReader::Step::action;
    for (std::size_t read = 0;
         read < kMostActions && (step = reader.next(action)) == qn4t::ActionReader::Step::action; ++read) {
        const std::size_t start = encoded.size();
        qn4t::encode_action(action, encoded);
        if (encoded.size() - start != qn4t::encoded_size(action)) fail("encoded_size differs from the bytes encoded");
    }
    if (step == qn4t::ActionReader::Step::damaged && reader.error().empty()) fail("damage without a report");
    if (encoded.size() != reader.offset()) fail("the actions read do not encode to as many bytes as they took");
    if (plain && std::memcmp(encoded.data(), data + 1, encoded.size()) != 0)
        fail("an action read does not encode to the bytes it was read from");
    return 0;
}
