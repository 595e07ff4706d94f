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

ActionReader::Step ActionReader::damaged(const std::string &what, ActionDamage::Reason reason,
                                         const Decoded &d, const WholeAction &action, std::size_t have) {
    error_ = "action " + std::to_string(actions_ + 1) + " at offset " + std::to_string(offset_) +
             ": " + what;
    ActionDamage &f = damage_;
    f = ActionDamage();
    f.reason = reason;
    f.action = actions_ + 1;
    f.action_offset = offset_;
    f.part = d.where;
    f.identified = d.where != ActionPart::head;  // before that, `action` holds an older head
    if (f.identified) {
        f.action_id = action.head.actionID;
        f.spell = is_spell(action.head);
        f.details = action.head.numDetails;
    }
    const bool in_detail = d.where == ActionPart::detail_header || d.where == ActionPart::detail_body ||
                           d.where == ActionPart::stat_entries;
    if (in_detail) {
        f.detail = d.detail + 1;
        if (d.where != ActionPart::detail_header && d.detail < action.details.size()) {
            const WholeDetail &detail = action.details[d.detail];
            f.detail_type = detail.header.type;
            visit_body_type(f.detail_type, [&](auto tag) {
                using R = typename decltype(tag)::type;
                if constexpr (has_entries<R>) f.entries = detail.body<R>().*(Layout<R>::entry_count);
            });
        }
    }
    f.part_offset = offset_ + d.part_offset;
    f.part_size = d.needed - d.part_offset;
    f.present = have > d.part_offset ? have - d.part_offset : 0;
    if (reason == ActionDamage::Reason::too_large) f.present = f.part_size;
    f.field = damaged_field(f, action.head);
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
        if (!d.refused.empty()) return damaged(d.refused, ActionDamage::Reason::too_large, d, action, d.used);
        // Grow towards what the next step needs, one block at a time.
        const std::size_t wanted = d.goes_on_at - d.used;
        while (end_ - begin_ < wanted && more()) {
        }
        if (end_ - begin_ >= wanted) continue;
        const std::size_t have = d.used + (end_ - begin_);
        if (failed_) return damaged(blocks_.error(), ActionDamage::Reason::unreadable, d, action, have);
        if (have == 0) return Step::end;
        return damaged("the file ends inside " + d.part + " (at offset " +
                           std::to_string(offset_ + d.part_offset) + ", " +
                           std::to_string(d.needed - d.part_offset) + " bytes needed from there, " +
                           std::to_string(have - d.part_offset) + " there)",
                       ActionDamage::Reason::cut, d, action, have);
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
