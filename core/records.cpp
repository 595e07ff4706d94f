// Reading and writing the action header: its head, its texts and its spell trailer (the
// fixed-size records share one algorithm, FixedSizeRecord in records.h), and the one step
// that hands a record's bytes to zlib.
#include "records.h"

#include <algorithm>
#include <cstring>

#include "codec.h"
#include "memory.h"
#include "text.h"

namespace qn4t {

// A short count with zlib's error state set means the disk is full or an earlier write
// failed; a null handle or a read stream takes nothing without an error, and a write to it
// has always given 0.
bool hand_to_zlib(gzFile stream, const std::uint8_t *bytes, std::size_t size) {
    if (!stream || gzwrite(stream, bytes, static_cast<unsigned>(size)) == static_cast<int>(size))
        return true;
    int error = Z_OK;
    gzerror(stream, &error);
    return error == Z_OK;
}

namespace {

// Gathers a record's bytes in a stack buffer and hands them to zlib a bufferful at a time:
// one gzwrite for a record that fits, and no heap memory for one that does not, so that a
// write never fails for want of memory.
class RecordOutput {
public:
    explicit RecordOutput(gzFile stream) : stream_(stream) {}
    RecordOutput(const RecordOutput &) = delete;
    RecordOutput &operator=(const RecordOutput &) = delete;

    // Room for `size` (at most sizeof buffer_) bytes that the caller fills at once.
    std::uint8_t *room(std::size_t size) {
        if (used_ + size > sizeof buffer_) flush();
        std::uint8_t *place = buffer_ + used_;
        used_ += size;
        return place;
    }
    // Exactly `size` bytes of a text: what its buffer holds, then zero bytes.
    void text(const char *text, std::size_t size) {
        const std::size_t held = std::min(size, text_size(text));
        bytes(reinterpret_cast<const std::uint8_t *>(text), held);
        bytes(nullptr, size - held);
    }
    // True when zlib took every byte.
    bool finish() {
        flush();
        return ok_;
    }

private:
    // Copies `size` bytes, or zero bytes when `from` is null.
    void bytes(const std::uint8_t *from, std::size_t size) {
        while (size) {
            if (used_ == sizeof buffer_) flush();
            const std::size_t part = std::min(size, sizeof buffer_ - used_);
            if (from) {
                std::memcpy(buffer_ + used_, from, part);
                from += part;
            } else {
                std::memset(buffer_ + used_, 0, part);
            }
            used_ += part;
            size -= part;
        }
    }
    void flush() {
        if (used_ && ok_) ok_ = hand_to_zlib(stream_, buffer_, used_);
        used_ = 0;
    }

    gzFile stream_;
    std::uint8_t buffer_[1024];
    std::size_t used_ = 0;
    bool ok_ = true;  // once zlib refuses, nothing more is handed to it
};

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
    if (is_spell(*this)) decode(*this, HeaderLayout::trailer, in);
    return 0;
}

int qn4tGeneric_Action_Header::write(gzFile stream) const {
    RecordOutput out(stream);
    encode(*this, HeaderLayout::head, out.room(kHeadSize));
    for_each_field(HeaderLayout::texts,
                   [&](const auto &t) { out.text(this->*(t.member), this->*(t.length)); });
    if (is_spell(*this)) encode(*this, HeaderLayout::trailer, out.room(kTrailerSize));
    return out.finish() ? 0 : -1;
}
