// Whole actions: one action with its details as a plain C++ structure, its codec over the
// uncompressed bytes of a file, and gzip block reading and writing through zlib's inflate
// and deflate. Driven by the records' field tables; no Python here.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "inflater.h"
#include "parallel_deflate.h"
#include "record_types.h"

namespace qn4t {

constexpr std::size_t kTextCount = std::tuple_size_v<decltype(HeaderLayout::texts)>;

// One detail: its header as read (a `length` that disagrees with a known body is kept as it
// stands; the body is read by type, exactly as the record stream reads it) and its body:
// the record that DetailBodyTypes lists for `type`, or for any other type `length` raw
// bytes, so that nothing of a detail of an unknown kind is lost. Only the body that the
// type names is meaningful.
struct WholeDetail {
    qn4tGeneric_Action_Detail_Header header;
    Apply<std::tuple, DetailBodyTypes> bodies;  // one of each body of the record list
    std::vector<EntryRecord> stats;             // the entries of the body that has them
    std::string raw;                            // of an unknown type

    // Whether the type names a body of the record list (otherwise the body is `raw`).
    bool known() const { return visit_body_type(header.type, [](auto) {}); }

    template <class R>
    R &body() { return std::get<R>(bodies); }
    template <class R>
    const R &body() const { return std::get<R>(bodies); }
};

// Bytes behind the detail header of a body R followed by `entries` entry records: the
// `length` a detail of R has unless one is given.
template <class R>
constexpr std::size_t body_wire_size(std::size_t entries) {
    std::size_t size = record_wire_size<R>();
    if constexpr (has_entries<R>) size += entries * record_wire_size<typename Layout<R>::Entry>();
    return size;
}

// Bytes behind the header of a detail of `type`: the body its type names in the record list
// followed by `entries` entry records, or `raw` bytes for a type without a record.
inline std::size_t detail_body_size(std::uint16_t type, std::size_t entries, std::size_t raw) {
    std::size_t size = raw;
    visit_body_type(type, [&](auto tag) { size = body_wire_size<typename decltype(tag)::type>(entries); });
    return size;
}

// One action: the header's numeric fields and spell trailer in `head` (its own text
// pointers stay null), the five texts with every byte, and the details.
struct WholeAction {
    qn4tGeneric_Action_Header head;
    std::string texts[kTextCount];  // in the order of HeaderLayout::texts
    std::vector<WholeDetail> details;
};

// The count and length fields made to follow what they count: the text lengths, numDetails
// and numStatMods. Returns an empty text, or (nothing changed) what does not fit, naming
// the field, the value and the limit.
std::string derive_counts(WholeAction &action);

// Bytes the action takes in the file, from its count and length fields.
std::size_t encoded_size(const WholeAction &action);

// Appends the action's bytes to `out`, from its fields as they stand (call derive_counts
// first to keep counts and contents in step). A text shorter than its length field is
// padded with zero bytes, a longer one is cut, as the record writer does.
void encode_action(const WholeAction &action, std::string &out);

// Stat entries one action may hold in memory, in all its details together: room for
// actions of millions of entries, while a count of billions (numStatMods is 32 bits), which
// a small gzip file can declare, is never taken as memory to fill.
constexpr std::size_t kMaxHeldStats = std::size_t{1} << 24;

// The records of an action in file order, as the decoder names where it stands.
enum class ActionPart { head, texts, trailer, detail_header, detail_body, stat_entries };

// The outcome of decoding (a piece of) one action. Offsets count from the action's start.
struct Decoded {
    bool complete = false;  // true: `used` bytes made the action
    std::size_t used = 0;   // bytes decoded and no longer needed
    // When not complete, and not refused: the action is cut inside `part` (e.g. "the texts",
    // "detail 2's stat entries"), which starts at `part_offset` and needs the action to
    // reach `needed` bytes; decoding goes on once `goes_on_at` bytes are there.
    std::size_t needed = 0;
    std::size_t goes_on_at = 0;
    std::string part;
    std::size_t part_offset = 0;
    ActionPart where = ActionPart::head;  // `part` as a fact
    std::size_t detail = 0;               // the detail of a detail's part, from 0
    // Why the action, whole in the input, cannot be held (more than kMaxHeldStats entries).
    std::string refused;
};

// Decodes one action from bytes that may arrive in pieces: each step takes what it can and
// keeps its place, so that the bytes of stat entries already decoded need not be held, and a
// declared count is filled only as far as entries arrive. Every value is accepted; an action
// is complete, cut (more bytes wanted), or refused as too large to hold.
class ActionDecoder {
public:
    // Starts a new action, reusing the storage of `action`.
    void restart() { *this = ActionDecoder(); }
    // Decodes from the `size` bytes at `data`, which follow the `used` bytes of the last step.
    Decoded step(const std::uint8_t *data, std::size_t size, WholeAction &action);

private:
    enum class Stage { head, texts, trailer, detail_header, detail_body, stats, done };
    Decoded cut(std::size_t wanted, ActionPart where, std::string part) const;
    Decoded cut_in_stats() const;

    Stage stage_ = Stage::head;
    std::size_t taken_ = 0;        // bytes of the action decoded
    std::size_t detail_ = 0;       // the detail being decoded
    std::size_t stats_left_ = 0;   // its stat entries still to come
    std::size_t stats_start_ = 0;  // where they start
    std::size_t held_stats_ = 0;   // entries the action holds so far
    bool skimming_ = false;        // counting entries that will not be held
};

// Decodes one whole action from the `size` bytes at `data` into `action`, reusing its
// storage: one step of a fresh ActionDecoder.
Decoded decode_action(const std::uint8_t *data, std::size_t size, WholeAction &action);

// ---- gzip blocks ----

// A block of bytes grown without clearing: what is read into it overwrites it at once, and
// clearing a fresh block first would touch every page of it twice.
class ByteBlock {
public:
    std::uint8_t *data() { return bytes_.get(); }
    std::size_t size() const { return size_; }
    // Makes the block at least `size` bytes, keeping its first `keep` bytes.
    void grow(std::size_t size, std::size_t keep);

private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t size_ = 0;
};

// Where compressed bytes come from. read() returns the number of bytes stored at `out`
// (at most `capacity`), 0 at the end, -1 on an error (the source keeps its own report).
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual long read(std::uint8_t *out, std::size_t capacity) = 0;
};

// Where compressed bytes go. write() returns false on an error.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual bool write(const std::uint8_t *data, std::size_t size) = 0;
};

// Reads what the record stream reads, in large blocks: gzip members one after another
// (bytes behind the last member that do not start another are ignored, as gzread does),
// or, when the input does not start as gzip, the bytes as they are. With `plain`, the input
// is taken as uncompressed bytes whatever it starts with (a caller that inflates itself).
class BlockReader {
public:
    explicit BlockReader(ByteSource &source, bool plain = false);
    ~BlockReader();
    BlockReader(const BlockReader &) = delete;
    BlockReader &operator=(const BlockReader &) = delete;

    // Stores up to `capacity` uncompressed bytes at `out`: their number, 0 at the end, or
    // -1 on an error, which error() describes (corrupt or cut compressed data with its
    // compressed offset; the source's own error; no memory).
    long read(std::uint8_t *out, std::size_t capacity);
    const std::string &error() const { return error_; }
    // True when the failure came from the source (its report says more).
    bool source_failed() const { return source_failed_; }

    // Whether the input starts as gzip (decided by its first bytes, read here if need be);
    // false for an empty input, which is read as plain bytes.
    bool gzip();
    // Uncompressed bytes given out so far.
    std::uint64_t delivered() const { return delivered_; }
    // Compressed bytes inflated so far: how far the input is read.
    std::uint64_t compressed_offset() const { return consumed_ - held_; }

    // What ended the gzip data early, as facts and in words (error() and words() give the
    // same text): `cut`, the member starting at compressed offset `at` has no end; `corrupt`,
    // the data is corrupt, shown by the byte before compressed offset `at` (the offset behind
    // what the inflater took; `problem` in the inflater's words); `trailing`, bytes that
    // start no member follow the last one at `at` (ignored by read(), as gzread does).
    // Every byte inflated before the fault was given out first.
    struct Fault {
        enum class Kind { none, cut, corrupt, trailing } kind = Kind::none;
        std::uint64_t at = 0;
        std::string problem;
        // A cut or corrupt fault in the words every reader of a file gives it ("the
        // compressed data is cut short: ..."); empty for none and for trailing bytes.
        std::string words() const;
    };
    const Fault &fault() const { return fault_; }
    // The number of trailing bytes behind the last member (the rest of the input is read to
    // count them; -1 when the source fails). Only for a `trailing` fault.
    long long trailing_bytes();

private:
    enum class Mode { start, gzip, between_members, plain, end, failed, failing };
    bool fill();  // more input; false at the end or on an error
    long fail(const std::string &what);
    long stop_at(Fault::Kind kind, std::uint64_t at, const std::string &problem, std::size_t done);
    bool starts_member();
    long inflate_into(std::uint8_t *out, std::size_t capacity);
    void take(std::size_t n) {
        next_ += n;
        held_ -= n;
    }

    ByteSource &source_;
    Inflater inflater_;
    bool source_ended_ = false;
    bool source_failed_ = false;
    Mode mode_ = Mode::start;
    ByteBlock input_;
    const std::uint8_t *next_ = nullptr;  // the input not yet inflated
    std::size_t held_ = 0;                // and its size
    std::uint64_t consumed_ = 0;  // compressed bytes taken from the source so far
    std::uint64_t member_at_ = 0;  // where the gzip member being inflated starts
    std::uint64_t delivered_ = 0;
    bool gzip_ = false;
    Fault fault_;
    long long trailing_ = -2;  // trailing bytes, once counted
    std::string error_;
};

// Writes a gzip file at the level the record stream writes (zlib's default), in large
// blocks: one member on the caller's thread when `threads` is 1, otherwise on that many
// worker threads (parallel_deflate.h), which make other bytes of the same content (one
// member per block with libdeflate).
class BlockWriter {
public:
    explicit BlockWriter(ByteSink &sink, unsigned threads = 1);
    ~BlockWriter();
    BlockWriter(const BlockWriter &) = delete;
    BlockWriter &operator=(const BlockWriter &) = delete;

    // Compresses `size` bytes; false on an error (error() says what).
    bool write(const std::uint8_t *data, std::size_t size);
    // Ends the gzip member; false on an error. Nothing may be written after it.
    bool finish();
    const std::string &error() const { return parallel_ ? parallel_->error() : error_; }

private:
    bool deflate_all(int flush);

    ByteSink &sink_;
    std::unique_ptr<ParallelDeflate> parallel_;
    z_stream stream_{};
    bool ready_ = false;
    std::vector<std::uint8_t> output_;
    std::string error_;
};

// Where a reader found an action damaged, as facts (error() says the same in words): the
// action, the record in which its bytes end or fail and how many of that record's bytes
// the input holds. Offsets are uncompressed and count from the start of the input.
struct ActionDamage {
    enum class Reason {
        cut,         // the bytes end inside the record
        unreadable,  // the input fails there: its compressed data or its source (error())
        too_large,   // whole, but more stat entries than an action read whole may hold
    };
    Reason reason = Reason::cut;
    std::uint64_t action = 0;         // its number, from 1
    std::uint64_t action_offset = 0;  // where it starts
    bool identified = false;          // whether its head was read (action_id is then set)
    std::uint32_t action_id = 0;
    bool spell = false;               // whether its head says it is a spell
    ActionPart part = ActionPart::head;
    std::size_t detail = 0, details = 0;  // the detail (from 1; 0 outside the details) of numDetails
    std::uint16_t detail_type = 0;        // its type, once its header was read
    std::uint64_t part_offset = 0;        // where the part starts
    std::uint64_t part_size = 0;          // bytes the part takes (all of a detail's entries)
    std::uint64_t present = 0;            // bytes of it the input holds
    std::uint64_t entries = 0;            // a detail's stat entries, declared
    std::string field;  // the field the bytes end in (damaged_field)
};

// The name of the field of the damaged record in which the input's bytes end: a field of the
// head, a text, a field of a body or of the stat entry; "" where the record has no fields of
// the tables (an unknown detail's body). For an action refused as too large, the field that
// counts its entries. `head`: the damaged action's head, where it was read.
std::string damaged_field(const ActionDamage &damage, const qn4tGeneric_Action_Header &head);

// Whole actions one after another from a block reader, holding the action being decoded and
// the bytes not yet decoded: a block, or one part of an action that is not a run of stat
// entries (a few megabytes at most, from the length fields).
class ActionReader {
public:
    explicit ActionReader(ByteSource &source, bool plain = false);

    enum class Step { action, end, damaged };
    // Decodes the next action into `action`. At `damaged`, error() names the action's number
    // (from 1), its uncompressed offset and what is wrong; every earlier action was complete.
    // Damage is final: every later call reports it again.
    Step next(WholeAction &action);
    const std::string &error() const { return error_; }
    const ActionDamage &damage() const { return damage_; }  // the same as facts
    bool source_failed() const { return blocks_.source_failed(); }
    std::uint64_t offset() const { return offset_; }  // uncompressed, behind the last action

private:
    bool more();  // reads a block behind the held bytes; false at the end or on an error
    Step damaged(const std::string &what, ActionDamage::Reason reason, const Decoded &d,
                 const WholeAction &action, std::size_t have);

    BlockReader blocks_;
    ActionDecoder decoder_;
    ByteBlock buffer_;
    std::size_t begin_ = 0, end_ = 0;  // the held bytes not yet decoded
    bool ended_ = false, failed_ = false;
    std::uint64_t offset_ = 0;
    std::uint64_t actions_ = 0;
    std::string error_;
    ActionDamage damage_;
};

// Whole actions one after another into a block writer, encoded into a block buffer.
class ActionWriter {
public:
    explicit ActionWriter(ByteSink &sink, unsigned threads = 1) : blocks_(sink, threads) {}
    // Writes the action as its fields stand; false on an error (error() says what).
    bool write(const WholeAction &action);
    bool finish();
    const std::string &error() const { return blocks_.error(); }

private:
    BlockWriter blocks_;
    std::string pending_;
};

}  // namespace qn4t
