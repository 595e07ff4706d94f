// The gzip member inflater over ISA-L or zlib, chosen when the module is built.
#include "inflater.h"

#include <algorithm>
#include <cstring>
#include <new>

#if QN4T_WITH_ISAL
#include <isa-l.h>
#include <isa-l/igzip_lib.h>
#else
#include <zlib.h>
#endif

namespace qn4t {
namespace {
constexpr std::size_t kMostAtOnce = std::size_t{1} << 30;  // fits the libraries' 32-bit counts
}

#if QN4T_WITH_ISAL

struct Inflater::State {
    inflate_state isal;
    std::uint8_t tail[8];  // the last compressed bytes taken: at the member's end, its trailer
    std::size_t tail_size = 0;

    void keep_tail(const std::uint8_t *in, std::size_t used) {
        const std::size_t n = std::min(used, sizeof tail);
        const std::size_t kept = std::min(tail_size, sizeof tail - n);
        std::memmove(tail, tail + tail_size - kept, kept);
        std::memcpy(tail + kept, in + used - n, n);
        tail_size = kept + n;
    }
};

Inflater::Inflater() = default;
Inflater::~Inflater() = default;

bool Inflater::start() {
    if (!state_) state_.reset(new (std::nothrow) State);
    if (!state_) return false;
    isal_inflate_init(&state_->isal);
    state_->isal.crc_flag = ISAL_GZIP;  // reads the header, checks CRC and length
    state_->tail_size = 0;
    fault_back_ = 0;
    return true;
}

namespace {
// ISA-L reports numbers; these are the words zlib uses for the same faults.
const char *isal_problem(int status) {
    switch (status) {
    case ISAL_INVALID_BLOCK: return "invalid block";
    case ISAL_INVALID_SYMBOL: return "invalid code";
    case ISAL_INVALID_LOOKBACK: return "invalid distance too far back";
    case ISAL_INVALID_WRAPPER: return "incorrect header check";
    case ISAL_INCORRECT_CHECKSUM: return "incorrect data check";
    case ISAL_UNSUPPORTED_METHOD: return "unknown compression method";
    default: return "bad data";
    }
}

std::uint32_t le32(const std::uint8_t *in) {
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}
}  // namespace

Inflater::Status Inflater::inflate(const std::uint8_t *in, std::size_t in_size, std::size_t &used,
                                   std::uint8_t *out, std::size_t out_size, std::size_t &made) {
    inflate_state &s = state_->isal;
    const std::size_t given = std::min(in_size, kMostAtOnce);
    const std::size_t room = std::min(out_size, kMostAtOnce);
    s.next_in = const_cast<std::uint8_t *>(in);
    s.avail_in = static_cast<std::uint32_t>(given);
    s.next_out = out;
    s.avail_out = static_cast<std::uint32_t>(room);
    const int status = isal_inflate(&s);
    // At some faults ISA-L leaves avail_in beyond what it was given (a match that reaches
    // before the output's start leaves it at -1): nothing of this input counts as taken.
    used = given - std::min<std::size_t>(s.avail_in, given);
    made = room - s.avail_out;
    // Whole bytes read ahead into the bit buffer belong to what follows.
    if (status < 0 || s.block_state == ISAL_BLOCK_FINISH)
        used -= std::min(used, static_cast<std::size_t>(s.read_in_length / 8));
    state_->keep_tail(in, used);
    if (status == ISAL_INCORRECT_CHECKSUM && state_->tail_size == sizeof state_->tail) {
        // As zlib says it: which of the trailer's two checks failed.
        // The fault is placed where zlib places it: behind the CRC when that fails, behind
        // the length otherwise.
        const bool data = le32(state_->tail) != s.crc;
        problem_ = data ? "incorrect data check" : "incorrect length check";
        fault_back_ = data ? 4 : 0;
        return Status::corrupt;
    }
    if (status < 0) {
        problem_ = isal_problem(status);
        return Status::corrupt;
    }
    return s.block_state == ISAL_BLOCK_FINISH ? Status::member_end : Status::going;
}

std::string Inflater::name() {
    return "isa-l " + std::to_string(ISAL_MAJOR_VERSION) + "." + std::to_string(ISAL_MINOR_VERSION) +
           "." + std::to_string(ISAL_PATCH_VERSION);
}

#else

struct Inflater::State {
    z_stream zlib{};
};

Inflater::Inflater() = default;
Inflater::~Inflater() {
    if (state_) inflateEnd(&state_->zlib);
}

bool Inflater::start() {
    if (state_) return inflateReset(&state_->zlib) == Z_OK;
    std::unique_ptr<State> fresh(new (std::nothrow) State);
    if (!fresh || inflateInit2(&fresh->zlib, 15 + 16) != Z_OK) return false;
    state_ = std::move(fresh);
    return true;
}

Inflater::Status Inflater::inflate(const std::uint8_t *in, std::size_t in_size, std::size_t &used,
                                   std::uint8_t *out, std::size_t out_size, std::size_t &made) {
    z_stream &z = state_->zlib;
    const std::size_t given = std::min(in_size, kMostAtOnce);
    const std::size_t room = std::min(out_size, kMostAtOnce);
    z.next_in = const_cast<Bytef *>(in);
    z.avail_in = static_cast<uInt>(given);
    z.next_out = out;
    z.avail_out = static_cast<uInt>(room);
    const int status = ::inflate(&z, Z_NO_FLUSH);
    used = given - z.avail_in;
    made = room - z.avail_out;
    if (status == Z_STREAM_END) return Status::member_end;
    if (status == Z_OK || status == Z_BUF_ERROR) return Status::going;
    if (status == Z_MEM_ERROR) throw std::bad_alloc();
    problem_ = z.msg ? z.msg : "bad data";
    return Status::corrupt;
}

std::string Inflater::name() { return std::string("zlib ") + zlibVersion(); }

#endif

}  // namespace qn4t
