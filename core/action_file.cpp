// Whole actions: the codec over uncompressed bytes, walking the records' field tables, and
// the gzip block reader and writer over zlib's inflate and deflate.
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
constexpr std::size_t kInputBlock = 256 * 1024;   // compressed bytes asked of a source at once
constexpr std::size_t kOutputBlock = 256 * 1024;  // uncompressed bytes decoded at once
constexpr std::size_t kPendingBlock = 256 * 1024; // encoded bytes handed to deflate at once
constexpr std::uint8_t kGzipMagic[2] = {0x1f, 0x8b};

template <class Tag>
using BodyOf = typename Tag::type;

// Bytes of the body a detail's type names in the record list; its `length` for a raw body.
std::size_t body_size(const WholeDetail &d) {
    std::size_t size = d.header.length;
    visit_body_type(d.header.type, [&](auto tag) { size = record_wire_size<BodyOf<decltype(tag)>>(); });
    return size;
}

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
        size += kDetailHeaderSize + body_size(d) + kStatSize * entry_count(d);
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

Decoded ActionDecoder::cut(std::size_t wanted, std::string part) const {
    Decoded d;
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
            if (left < kHeadSize) return cut(kHeadSize, "the head");
            decode(head, HeaderLayout::head, data + at);
            take(kHeadSize);
            stage_ = Stage::texts;
            break;
        case Stage::texts: {
            const std::size_t length = variable_size(head) - (is_spell(head) ? kTrailerSize : 0);
            if (left < length) return cut(length, "the texts");
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
                if (left < kTrailerSize) return cut(kTrailerSize, "the spell trailer");
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
                return cut(kDetailHeaderSize, detail_part(detail_, "header"));
            decode_fixed(action.details[detail_].header, data + at);
            take(kDetailHeaderSize);
            stage_ = Stage::detail_body;
            break;
        case Stage::detail_body: {
            WholeDetail &d = action.details[detail_];
            const std::size_t body = body_size(d);
            if (left < body) return cut(body, detail_part(detail_, "body"));
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

// ---- BlockReader ----

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

// Ends the gzip data at a fault. What was inflated before it is given out first, so that
// every action complete before the fault is read; the next read reports the fault.
long BlockReader::stop_at(Fault::Kind kind, std::uint64_t at, const std::string &problem,
                          const std::string &what, std::size_t done) {
    fault_.kind = kind;
    fault_.at = at;
    fault_.problem = problem;
    error_ = what;
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
            return stop_at(Fault::Kind::cut, member_at_, "",
                           "the compressed data is cut at compressed offset " +
                               std::to_string(consumed_),
                           done);
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
            return stop_at(Fault::Kind::corrupt, at, inflater_.problem(),
                           "the compressed data is corrupt at compressed offset " +
                               std::to_string(at) + " (" + inflater_.problem() + ")",
                           done);
        }
    }
    return static_cast<long>(done);
}

// ---- BlockWriter ----

BlockWriter::BlockWriter(ByteSink &sink, unsigned threads) : sink_(sink) {
    if (threads > 1) parallel_.reset(new ParallelDeflate(sink, threads));
}

BlockWriter::~BlockWriter() {
    if (ready_) deflateEnd(&stream_);
}

bool BlockWriter::deflate_all(int flush) {
    if (!ready_) {
        // gzip format, zlib's default level, window and memory: what gzopen(path, "wb") writes.
        if (deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                         Z_DEFAULT_STRATEGY) != Z_OK) {
            error_ = "no memory for compression";
            return false;
        }
        ready_ = true;
        output_.resize(kOutputBlock);
    }
    for (;;) {
        stream_.next_out = output_.data();
        stream_.avail_out = static_cast<uInt>(output_.size());
        const int status = deflate(&stream_, flush);
        if (status == Z_STREAM_ERROR) {
            error_ = "compression failed";
            return false;
        }
        const std::size_t made = output_.size() - stream_.avail_out;
        if (made && !sink_.write(output_.data(), made)) {
            error_ = "the output cannot be written";
            return false;
        }
        if (flush == Z_FINISH ? status == Z_STREAM_END
                              : stream_.avail_in == 0 && stream_.avail_out != 0)
            return true;
    }
}

bool BlockWriter::write(const std::uint8_t *data, std::size_t size) {
    if (parallel_) return parallel_->write(data, size);
    while (size > 0) {
        const std::size_t n = std::min<std::size_t>(size, 1u << 30);
        stream_.next_in = const_cast<Bytef *>(data);
        stream_.avail_in = static_cast<uInt>(n);
        if (!deflate_all(Z_NO_FLUSH)) return false;
        data += n;
        size -= n;
    }
    return true;
}

bool BlockWriter::finish() {
    if (parallel_) return parallel_->finish();
    stream_.next_in = nullptr;
    stream_.avail_in = 0;
    return deflate_all(Z_FINISH);
}

// ---- ActionReader ----

ActionReader::ActionReader(ByteSource &source, bool plain) : blocks_(source, plain) {}

bool ActionReader::more() {
    if (ended_ || failed_) return false;
    const std::size_t held = end_ - begin_;
    if (begin_ > 0) {
        if (held) std::memmove(buffer_.data(), buffer_.data() + begin_, held);
        begin_ = 0;
        end_ = held;
    }
    // Grown by doubling: the held bytes vary from block to block, and a buffer grown to each
    // new most would be copied again and again.
    if (buffer_.size() < end_ + kOutputBlock)
        buffer_.grow(std::max(end_ + kOutputBlock, 2 * buffer_.size()), end_);
    const long got = blocks_.read(buffer_.data() + end_, buffer_.size() - end_);
    if (got < 0) {
        failed_ = true;
        return false;
    }
    if (got == 0) {
        ended_ = true;
        return false;
    }
    end_ += static_cast<std::size_t>(got);
    return true;
}

ActionReader::Step ActionReader::damaged(const std::string &what) {
    error_ = "action " + std::to_string(actions_ + 1) + " at offset " + std::to_string(offset_) +
             ": " + what;
    return Step::damaged;
}

ActionReader::Step ActionReader::next(WholeAction &action) {
    if (!error_.empty()) return Step::damaged;
    decoder_.restart();
    std::size_t dropped = 0;  // bytes of this action decoded and gone from the buffer
    for (;;) {
        const Decoded d = decoder_.step(buffer_.data() + begin_, end_ - begin_, action);
        begin_ += d.used - dropped;
        dropped = d.used;
        if (d.complete) {
            offset_ += d.used;
            ++actions_;
            return Step::action;
        }
        if (!d.refused.empty()) return damaged(d.refused);
        // Grow towards what the next step needs, one block at a time.
        const std::size_t wanted = d.goes_on_at - d.used;
        while (end_ - begin_ < wanted && more()) {
        }
        if (end_ - begin_ >= wanted) continue;
        if (failed_) return damaged(blocks_.error());
        const std::size_t have = d.used + (end_ - begin_);
        if (have == 0) return Step::end;
        return damaged("the file ends inside " + d.part + " (at offset " +
                       std::to_string(offset_ + d.part_offset) + ", " +
                       std::to_string(d.needed - d.part_offset) + " bytes needed from there, " +
                       std::to_string(have - d.part_offset) + " there)");
    }
}

// ---- ActionWriter ----

bool ActionWriter::write(const WholeAction &action) {
    encode_action(action, pending_);
    if (pending_.size() < kPendingBlock) return true;
    const bool ok = blocks_.write(reinterpret_cast<const std::uint8_t *>(pending_.data()),
                                  pending_.size());
    pending_.clear();
    return ok;
}

bool ActionWriter::finish() {
    const bool ok = blocks_.write(reinterpret_cast<const std::uint8_t *>(pending_.data()),
                                  pending_.size()) &&
                    blocks_.finish();
    pending_.clear();
    return ok;
}

}  // namespace qn4t
