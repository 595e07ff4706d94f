// Whole actions over blocks: the reader decodes the block reader's bytes action by action,
// the writer encodes actions and hands them to the block writer a block at a time.
#include "action_file.h"

#include <algorithm>
#include <cstring>

namespace qn4t {
namespace {

constexpr std::size_t kOutputBlock = 256 * 1024;   // uncompressed bytes decoded at once
constexpr std::size_t kPendingBlock = 256 * 1024;  // encoded bytes handed to deflate at once

}  // namespace

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
