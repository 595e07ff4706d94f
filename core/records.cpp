// Reading and writing the action header: its head, its texts and its spell trailer. (The
// fixed-size records share one algorithm, FixedSizeRecord in records.h.)
#include "records.h"

#include <algorithm>
#include <cstring>

#include "codec.h"
#include "memory.h"
#include "text.h"

namespace qn4t {
namespace {

// A scratch byte buffer that stays on the stack for the common small record.
class Scratch {
public:
    explicit Scratch(std::size_t size)
        : data_(size <= sizeof local_ ? local_ : static_cast<std::uint8_t *>(allocate(size))) {}
    ~Scratch() {
        if (data_ != local_) release(data_);
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    std::uint8_t *data() const { return data_; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    std::uint8_t local_[1024];
    std::uint8_t *data_;
};

// Whether the action is a spell, which carries the trailer.
bool carries_trailer(const qn4tGeneric_Action_Header &h) {
    return h.*(HeaderLayout::action_type) == qn4tGeneric_Action_Header::kSpellType;
}

// Bytes of the action header behind its head: the texts and, for a spell, the trailer.
std::size_t variable_size(const qn4tGeneric_Action_Header &h) {
    std::size_t size = carries_trailer(h) ? kTrailerSize : 0;
    for_each_field(HeaderLayout::texts, [&](const auto &t) { size += h.*(t.length); });
    return size;
}

// Gives every text an empty buffer (or none, when even that cannot be had): what a read
// that failed inside the variable part leaves behind.
void empty_texts(qn4tGeneric_Action_Header &h) {
    for_each_field(HeaderLayout::texts, [&](const auto &t) {
        char *&slot = h.*(t.member);
        if (!replace_text(slot, "", 0)) {
            release_text(slot);
            slot = nullptr;
        }
    });
}

// Replaces all five texts with the bytes at `in`, each as long as its length field, or
// none of them when memory runs out. Returns the place behind the texts, or nullptr.
const std::uint8_t *take_texts(qn4tGeneric_Action_Header &h, const std::uint8_t *in) {
    char *fresh[std::tuple_size_v<decltype(HeaderLayout::texts)>] = {};
    std::size_t n = 0;
    bool complete = true;
    for_each_field(HeaderLayout::texts, [&](const auto &t) {
        const std::size_t size = h.*(t.length);
        fresh[n] = complete ? make_text(reinterpret_cast<const char *>(in), size) : nullptr;
        complete = complete && fresh[n];
        in += size;
        ++n;
    });
    if (!complete) {
        for (char *t : fresh) release_text(t);
        return nullptr;
    }
    n = 0;
    for_each_field(HeaderLayout::texts, [&](const auto &t) {
        release_text(h.*(t.member));
        h.*(t.member) = fresh[n++];
    });
    return in;
}

// Copies exactly `size` bytes of a text: what the buffer holds, then zero bytes.
std::uint8_t *put_text(std::uint8_t *out, const char *text, std::size_t size) {
    const std::size_t held = std::min(size, text_size(text));
    if (held) std::memcpy(out, text, held);
    std::memset(out + held, 0, size - held);
    return out + size;
}

}  // namespace
}  // namespace qn4t

using namespace qn4t;

qn4tGeneric_Action_Header::~qn4tGeneric_Action_Header() {
    for_each_field(HeaderLayout::texts, [&](const auto &t) { release_text(this->*(t.member)); });
}

int qn4tGeneric_Action_Header::read(gzFile stream) {
    std::uint8_t head[kHeadSize];
    if (gzread(stream, head, sizeof head) != static_cast<int>(sizeof head)) return -1;
    decode(*this, HeaderLayout::head, head);

    const std::size_t size = variable_size(*this);
    Scratch rest(size);
    const std::uint8_t *in = nullptr;
    if (rest && gzread(stream, rest.data(), static_cast<unsigned>(size)) == static_cast<int>(size))
        in = take_texts(*this, rest.data());
    if (!in) {
        empty_texts(*this);
        return -1;
    }
    if (carries_trailer(*this)) decode(*this, HeaderLayout::trailer, in);
    return 0;
}

int qn4tGeneric_Action_Header::write(gzFile stream) const {
    const std::size_t size = kHeadSize + variable_size(*this);
    Scratch record(size);
    if (!record) return 0;  // no memory: nothing is written
    std::uint8_t *out = encode(*this, HeaderLayout::head, record.data());
    for_each_field(HeaderLayout::texts,
                   [&](const auto &t) { out = put_text(out, this->*(t.member), this->*(t.length)); });
    if (carries_trailer(*this)) encode(*this, HeaderLayout::trailer, out);
    gzwrite(stream, record.data(), static_cast<unsigned>(size));
    return 0;
}
