// The six records of an action file, exactly as the game stores them, and their field
// tables. Each table lists the record's fields once, in declaration order, which is also
// their order in the file and in the module's function table. The list of the record types
// that everything per record is made from is core/record_types.h.
#pragma once

#include <zlib.h>

#include <cstdint>

#include "codec.h"
#include "field_table.h"

namespace qn4t {

// read and write of a record of fixed size in the file: one algorithm over its field
// table, defined once below for every record that derives from it. They behave as the
// action header's do.
template <class R>
struct FixedSizeRecord {
    // 0 when the whole record was read; -1 otherwise, with the record left as it was.
    int read(gzFile stream);
    // 0, or -1 when zlib could not take the bytes (a full disk, an earlier failed write).
    // A null handle or a read stream takes nothing and gives 0.
    int write(gzFile stream) const;
};

// Hands `size` bytes to zlib; false when zlib could not take them (a short count with its
// error state set). A null handle or a read stream takes nothing without an error
// (records.cpp).
bool hand_to_zlib(gzFile stream, const std::uint8_t *bytes, std::size_t size);

// What a detail header's `type` says follows it in an action file; the module publishes
// these numbers as its constants QN4T_GENERIC_ACTION_*.
enum DetailType : std::uint16_t {
    kNoDetail = 0,
    kDamageDetail = 1,
    kStatModDetail = 2,
    kHealingDetail = 3,
};

}  // namespace qn4t

// Opens the description of one action: a 24-byte head, five texts whose lengths stand in
// the head, and for actions of type 2 an 8-byte spell trailer.
struct qn4tGeneric_Action_Header {
    std::uint32_t actionID = 0;
    std::uint16_t nameLen = 0;
    std::uint16_t descLen = 0;
    std::uint8_t targetType = 0;
    std::uint8_t range = 0;
    std::uint8_t levelAcquired = 0;
    std::uint8_t actionType = 0;
    std::uint32_t validClasses = 0;
    std::uint32_t can_doStates = 0;
    std::uint8_t numDetails = 0;
    std::uint8_t blahLen = 0;
    std::uint8_t fooLen = 0;
    std::uint8_t barLen = 0;
    char *name = nullptr;  // owned texts (core/text.h), or null while never set
    char *desc = nullptr;
    char *blah = nullptr;
    char *foo = nullptr;
    char *bar = nullptr;
    char spellCode[5] = {};  // up to four characters and a terminating zero
    std::uint16_t spellPath = 0;
    std::uint16_t spellCost = 0;

    // The action type whose records carry the spell trailer.
    static constexpr std::uint8_t kSpellType = 2;

    qn4tGeneric_Action_Header() = default;
    ~qn4tGeneric_Action_Header();
    qn4tGeneric_Action_Header(const qn4tGeneric_Action_Header &) = delete;
    qn4tGeneric_Action_Header &operator=(const qn4tGeneric_Action_Header &) = delete;

    // 0 when the whole record was read, -1 otherwise.
    int read(gzFile stream);
    // 0, or -1 when zlib could not take the bytes (a full disk, an earlier failed write).
    // A null handle or a read stream takes nothing and gives 0. Needs no heap memory.
    int write(gzFile stream) const;
};

struct qn4tGeneric_Action_Detail_Header : qn4t::FixedSizeRecord<qn4tGeneric_Action_Detail_Header> {
    std::uint16_t type = 0;
    std::uint16_t length = 0;
};

struct qn4tGeneric_Damage_Details : qn4t::FixedSizeRecord<qn4tGeneric_Damage_Details> {
    std::uint8_t range = 0;
    std::uint8_t targetSize = 0;
    std::int16_t die = 0;
    std::int16_t dice = 0;
    std::int16_t base = 0;
    std::int32_t toHitBonus = 0;
    std::uint8_t levelMult = 0;
    std::uint8_t elemType = 0;
    std::uint16_t saveType = 0;
    std::uint32_t specFlag = 0;
    std::uint32_t specArg = 0;
};

struct qn4tGeneric_Healing_Details : qn4t::FixedSizeRecord<qn4tGeneric_Healing_Details> {
    std::uint16_t targetSize = 0;
    std::int16_t numDice = 0;
    std::int16_t numSides = 0;
    std::int16_t base = 0;
    std::uint16_t saveType = 0;
    std::uint32_t flagSpecial = 0;  // at offset 10 in the file: never a memory image
    std::uint32_t flagCondition = 0;
};

struct qn4tGeneric_StatMod_Details : qn4t::FixedSizeRecord<qn4tGeneric_StatMod_Details> {
    std::uint8_t range = 0;
    std::uint8_t targetSize = 0;
    std::uint16_t duration = 0;
    std::uint16_t durationExact = 0;
    std::uint16_t saveType = 0;
    std::uint32_t specialFlags = 0;
    std::uint32_t numStatMods = 0;
};

struct qn4tGeneric_StatMod_Stat_Details : qn4t::FixedSizeRecord<qn4tGeneric_StatMod_Stat_Details> {
    std::uint16_t stat = 0;
    std::int16_t modAmt = 0;
};

namespace qn4t {

// Besides `name` and its fields, each table gives the record's `title` in words and the
// facts that an action file's convention hangs on it: which fields say what follows a
// record, and which detail type names a body. The module itself reads one record at a
// time; the tools and the layout file (tools/layout_dump.cpp) walk files by these.

template <>
struct Layout<qn4tGeneric_Action_Header> {
    using Record = qn4tGeneric_Action_Header;
    static constexpr std::string_view name = "qn4tGeneric_Action_Header";
    static constexpr std::string_view title = "action header";
    static constexpr auto head = std::make_tuple(
        QN4T_FIELD(actionID), QN4T_FIELD(nameLen), QN4T_FIELD(descLen), QN4T_FIELD(targetType),
        QN4T_FIELD(range), QN4T_FIELD(levelAcquired), QN4T_FIELD(actionType),
        QN4T_FIELD(validClasses), QN4T_FIELD(can_doStates), QN4T_FIELD(numDetails),
        QN4T_FIELD(blahLen), QN4T_FIELD(fooLen), QN4T_FIELD(barLen));
    static constexpr auto texts =
        std::make_tuple(QN4T_TEXT(name, nameLen), QN4T_TEXT(desc, descLen),
                        QN4T_TEXT(blah, blahLen), QN4T_TEXT(foo, fooLen), QN4T_TEXT(bar, barLen));
    static constexpr auto trailer =
        std::make_tuple(QN4T_FIELD(spellCode), QN4T_FIELD(spellPath), QN4T_FIELD(spellCost));
    static constexpr auto fields = std::tuple_cat(head, texts, trailer);

    static constexpr auto identity = &Record::actionID;       // names the action
    static constexpr auto action_type = &Record::actionType;  // Record::kSpellType: a trailer
    static constexpr auto detail_count = &Record::numDetails;  // detail headers behind it
};

template <>
struct Layout<qn4tGeneric_Action_Detail_Header> {
    using Record = qn4tGeneric_Action_Detail_Header;
    static constexpr std::string_view name = "qn4tGeneric_Action_Detail_Header";
    static constexpr std::string_view title = "detail header";
    static constexpr auto fields = std::make_tuple(QN4T_FIELD(type), QN4T_FIELD(length));

    static constexpr auto body_type = &Record::type;      // a DetailType: the body behind it
    static constexpr auto body_length = &Record::length;  // bytes of that body
};

template <>
struct Layout<qn4tGeneric_Damage_Details> {
    using Record = qn4tGeneric_Damage_Details;
    static constexpr std::string_view name = "qn4tGeneric_Damage_Details";
    static constexpr std::string_view title = "damage";
    static constexpr std::string_view class_name = "Damage";  // its whole-action class
    static constexpr auto fields = std::make_tuple(
        QN4T_FIELD(range), QN4T_FIELD(targetSize), QN4T_FIELD(die), QN4T_FIELD(dice),
        QN4T_FIELD(base), QN4T_FIELD(toHitBonus), QN4T_FIELD(levelMult), QN4T_FIELD(elemType),
        QN4T_FIELD(saveType), QN4T_FIELD(specFlag), QN4T_FIELD(specArg));

    static constexpr DetailType detail_type = kDamageDetail;
};

template <>
struct Layout<qn4tGeneric_Healing_Details> {
    using Record = qn4tGeneric_Healing_Details;
    static constexpr std::string_view name = "qn4tGeneric_Healing_Details";
    static constexpr std::string_view title = "healing";
    static constexpr std::string_view class_name = "Healing";
    static constexpr auto fields = std::make_tuple(
        QN4T_FIELD(targetSize), QN4T_FIELD(numDice), QN4T_FIELD(numSides), QN4T_FIELD(base),
        QN4T_FIELD(saveType), QN4T_FIELD(flagSpecial), QN4T_FIELD(flagCondition));

    static constexpr DetailType detail_type = kHealingDetail;
};

template <>
struct Layout<qn4tGeneric_StatMod_Details> {
    using Record = qn4tGeneric_StatMod_Details;
    static constexpr std::string_view name = "qn4tGeneric_StatMod_Details";
    static constexpr std::string_view title = "stat modification";
    static constexpr std::string_view class_name = "StatMod";
    static constexpr auto fields = std::make_tuple(
        QN4T_FIELD(range), QN4T_FIELD(targetSize), QN4T_FIELD(duration),
        QN4T_FIELD(durationExact), QN4T_FIELD(saveType), QN4T_FIELD(specialFlags),
        QN4T_FIELD(numStatMods));

    static constexpr DetailType detail_type = kStatModDetail;
    using Entry = qn4tGeneric_StatMod_Stat_Details;             // follows the body ...
    static constexpr auto entry_count = &Record::numStatMods;  // ... this many times
};

template <>
struct Layout<qn4tGeneric_StatMod_Stat_Details> {
    using Record = qn4tGeneric_StatMod_Stat_Details;
    static constexpr std::string_view name = "qn4tGeneric_StatMod_Stat_Details";
    static constexpr std::string_view title = "stat entry";
    static constexpr std::string_view class_name = "Stat";
    static constexpr auto fields = std::make_tuple(QN4T_FIELD(stat), QN4T_FIELD(modAmt));
};

// Bytes a fixed-size record takes in the file.
template <class R>
constexpr std::size_t record_wire_size() {
    return wire_size<std::remove_const_t<decltype(Layout<R>::fields)>>();
}

// The name of the head field that counts a text's bytes, found in the record's table.
template <class R, class Text>
std::string_view length_field_name() {
    std::string_view name;
    for_each_field(Layout<R>::fields, [&](const auto &f) {
        if constexpr (std::is_same_v<std::remove_const_t<decltype(f.member)>,
                                     std::remove_const_t<decltype(Text::length)>>)
            if (f.member == Text::length) name = f.name;
    });
    return name;
}

using HeaderLayout = Layout<qn4tGeneric_Action_Header>;
using DetailHeaderLayout = Layout<qn4tGeneric_Action_Detail_Header>;
constexpr std::size_t kHeadSize = wire_size<std::remove_const_t<decltype(HeaderLayout::head)>>();
constexpr std::size_t kTrailerSize =
    wire_size<std::remove_const_t<decltype(HeaderLayout::trailer)>>();

// Whether the action is a spell, whose header carries the trailer behind its texts.
inline bool is_spell(const qn4tGeneric_Action_Header &head) {
    return head.*(HeaderLayout::action_type) == qn4tGeneric_Action_Header::kSpellType;
}

// Bytes of the action header behind its head: the texts, as long as their length fields
// say, and for a spell the trailer.
inline std::size_t variable_size(const qn4tGeneric_Action_Header &head) {
    std::size_t size = is_spell(head) ? kTrailerSize : 0;
    for_each_field(HeaderLayout::texts, [&](const auto &t) { size += head.*(t.length); });
    return size;
}

// Bytes of the part of a record that every read fetches first: all of a fixed-size
// record, the head of the action header.
template <class R>
constexpr std::size_t fixed_part_size() {
    if constexpr (std::is_base_of_v<FixedSizeRecord<R>, R>)
        return record_wire_size<R>();
    else
        return kHeadSize;
}

static_assert(kHeadSize == 24, "the action head is 24 bytes in the file");
static_assert(kTrailerSize == 8, "the spell trailer is 8 bytes in the file");
static_assert(record_wire_size<qn4tGeneric_Action_Detail_Header>() == 4, "detail header: 4 bytes");
static_assert(record_wire_size<qn4tGeneric_Damage_Details>() == 24, "damage: 24 bytes");
static_assert(record_wire_size<qn4tGeneric_Healing_Details>() == 18, "healing: 18 bytes");
static_assert(record_wire_size<qn4tGeneric_StatMod_Details>() == 16, "stat modification: 16 bytes");
static_assert(record_wire_size<qn4tGeneric_StatMod_Stat_Details>() == 4, "stat entry: 4 bytes");

template <class R>
int FixedSizeRecord<R>::read(gzFile stream) {
    std::uint8_t buffer[record_wire_size<R>()];
    if (gzread(stream, buffer, sizeof buffer) != static_cast<int>(sizeof buffer)) return -1;
    decode(static_cast<R &>(*this), Layout<R>::fields, buffer);
    return 0;
}

template <class R>
int FixedSizeRecord<R>::write(gzFile stream) const {
    std::uint8_t buffer[record_wire_size<R>()];
    encode(static_cast<const R &>(*this), Layout<R>::fields, buffer);
    return hand_to_zlib(stream, buffer, sizeof buffer) ? 0 : -1;
}

}  // namespace qn4t
