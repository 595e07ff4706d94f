// The gzip block reader: the bytes of a source, inflated member after member (or taken as
// they are), with every fault placed at its compressed offset.
#include "action_file.h"

#include <algorithm>
#include <cstring>

namespace qn4t {
namespace {

constexpr std::size_t kInputBlock = 256 * 1024;  // compressed bytes asked of a source at once
constexpr std::uint8_t kGzipMagic[2] = {0x1f, 0x8b};

}  // namespace

BlockReader::BlockReader(ByteSource &source, bool plain)
    : source_(source), mode_(plain ? Mode::plain : Mode::start) {}

BlockReader::~BlockReader() = default;

long BlockReader::fail(const std::string &what) {
    mode_ = Mode::failed;
    error_ = what;
    return -1;
}

void ByteBlock::grow(std::size_t size, std::size_t keep) {
    if (size <= size_) return;
    std::unique_ptr<std::uint8_t[]> bigger(new std::uint8_t[size]);  // not cleared
    if (keep) std::memcpy(bigger.get(), bytes_.get(), keep);
    bytes_ = std::move(bigger);
    size_ = size;
}

bool BlockReader::fill() {
    if (source_ended_ || source_failed_) return false;
    // Keep what is not yet consumed at the front of the input block.
    if (held_ && next_ != input_.data()) std::memmove(input_.data(), next_, held_);
    input_.grow(std::max(kInputBlock, held_ * 2), held_);
    const long got = source_.read(input_.data() + held_, input_.size() - held_);
    if (got < 0) {
        source_failed_ = true;
        return false;
    }
    if (got == 0) source_ended_ = true;
    consumed_ += static_cast<std::uint64_t>(got);
    next_ = input_.data();
    held_ += static_cast<std::size_t>(got);
    return got > 0;
}

bool BlockReader::starts_member() {
    while (held_ < 2 && fill()) {
    }
    return held_ >= 2 && next_[0] == kGzipMagic[0] && next_[1] == kGzipMagic[1];
}

bool BlockReader::gzip() {
    if (mode_ == Mode::start) gzip_ = starts_member();
    return gzip_;
}

long long BlockReader::trailing_bytes() {
    if (fault_.kind != Fault::Kind::trailing) return 0;
    if (trailing_ != -2) return trailing_;
    long long count = static_cast<long long>(held_);
    take(held_);
    while (fill()) {
        count += static_cast<long long>(held_);
        take(held_);
    }
    trailing_ = source_failed_ ? -1 : count;
    return trailing_;
}

long BlockReader::read(std::uint8_t *out, std::size_t capacity) {
    if (capacity == 0) return 0;
    for (;;) {
        switch (mode_) {
        case Mode::start:
        case Mode::between_members:
            if (starts_member()) {
                if (mode_ == Mode::start) gzip_ = true;
                if (!inflater_.start()) return fail("no memory for decompression");
                member_at_ = compressed_offset();
                mode_ = Mode::gzip;
                break;
            }
            if (source_failed_) return fail("the input cannot be read");
            // At the start: a file that is not gzip is read as it stands. Behind a member:
            // nothing more, or bytes that start no member, which are ignored (and noted).
            if (mode_ == Mode::between_members && held_) {
                fault_.kind = Fault::Kind::trailing;
                fault_.at = compressed_offset();
            }
            mode_ = mode_ == Mode::start && held_ ? Mode::plain : Mode::end;
            break;
        case Mode::gzip: {
            const long got = inflate_into(out, capacity);
            if (got > 0) delivered_ += static_cast<std::uint64_t>(got);
            if (got != 0 || mode_ != Mode::between_members) return got;
            break;
        }
        case Mode::plain: {
            if (held_ == 0 && !fill()) {
                if (source_failed_) return fail("the input cannot be read");
                mode_ = Mode::end;
                return 0;
            }
            const std::size_t n = std::min(capacity, held_);
            std::memcpy(out, next_, n);
            take(n);
            delivered_ += n;
            return static_cast<long>(n);
        }
        case Mode::failing: mode_ = Mode::failed; return -1;  // error_ says why
        case Mode::end: return 0;
        case Mode::failed: return -1;
        }
    }
}

std::string BlockReader::Fault::words() const {
    switch (kind) {
    case Kind::cut:
        return "the compressed data is cut short: the gzip stream starting at compressed byte " +
               std::to_string(at) + " has no end";
    case Kind::corrupt:  // `at` is behind the byte at which inflating fails
        return "the compressed data is damaged at compressed byte " + std::to_string(at ? at - 1 : 0) + " (" +
               problem + ")";
    default: return "";
    }
}

// Ends the gzip data at a fault. What was inflated before it is given out first, so that
// every action complete before the fault is read; the next read reports the fault.
long BlockReader::stop_at(Fault::Kind kind, std::uint64_t at, const std::string &problem,
                          std::size_t done) {
    fault_.kind = kind;
    fault_.at = at;
    fault_.problem = problem;
    error_ = fault_.words();
    mode_ = done ? Mode::failing : Mode::failed;
    return done ? static_cast<long>(done) : -1;
}

long BlockReader::inflate_into(std::uint8_t *out, std::size_t capacity) {
    const std::size_t asked = std::min<std::size_t>(capacity, 1u << 30);
    std::size_t done = 0;
    bool stalled = false;  // the inflater took nothing from what is held: it wants more
    while (done < asked) {
        if ((held_ == 0 || stalled) && !fill()) {
            if (source_failed_) return fail("the input cannot be read");
            return stop_at(Fault::Kind::cut, member_at_, "", done);
        }
        std::size_t used = 0, made = 0;
        const Inflater::Status status =
            inflater_.inflate(next_, held_, used, out + done, asked - done, made);
        take(used);
        done += made;
        stalled = used == 0 && made == 0;
        if (status == Inflater::Status::member_end) {
            mode_ = Mode::between_members;
            break;
        }
        if (status == Inflater::Status::corrupt) {
            const std::uint64_t at = consumed_ - held_ - inflater_.fault_back();
            return stop_at(Fault::Kind::corrupt, at, inflater_.problem(), done);
        }
    }
    return static_cast<long>(done);
}

}  // namespace qn4t
