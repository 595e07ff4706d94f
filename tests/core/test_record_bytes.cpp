// Golden bytes: one field of a fresh record set to a distinctive value lands at its offset
// in the file, low byte first, every other byte stays zero, and it reads back unchanged.
#include <gtest/gtest.h>

#include "core_test_support.h"

namespace qn4t_test {
namespace {

struct Outcome {
    Bytes bytes;      // what the record wrote
    int read_status;  // reading those bytes back
    long long read_back;
};

template <class R>
Outcome with_field(const std::string &path, std::string_view field, long long value) {
    R record;
    EXPECT_TRUE(set_field(record, field, value)) << "no integer field " << field;
    Outcome outcome{written(path, record), -1, 0};
    R copy;
    Stream in(path, 0);
    outcome.read_status = copy.read(in);
    outcome.read_back = field_value(copy, field);
    return outcome;
}

struct GoldenCase {
    const char *record;
    Outcome (*write_and_read)(const std::string &, std::string_view, long long);
    std::size_t size;  // of the whole record in the file
    const char *field;
    long long value;
    std::size_t offset;
    Bytes bytes;
};

std::ostream &operator<<(std::ostream &os, const GoldenCase &c) {
    return os << c.record << "." << c.field << " = " << c.value;
}

constexpr auto header = &with_field<qn4tGeneric_Action_Header>;
constexpr auto detail = &with_field<qn4tGeneric_Action_Detail_Header>;
constexpr auto damage = &with_field<qn4tGeneric_Damage_Details>;
constexpr auto healing = &with_field<qn4tGeneric_Healing_Details>;
constexpr auto statmod = &with_field<qn4tGeneric_StatMod_Details>;
constexpr auto stat = &with_field<qn4tGeneric_StatMod_Stat_Details>;

// Setting a text length alone makes the header write that many zero bytes for the absent text.
const GoldenCase kGolden[] = {
    {"Action_Header", header, 24, "actionID", 0xFFFFFFFF, 0, {0xFF, 0xFF, 0xFF, 0xFF}},
    {"Action_Header", header, 27, "nameLen", 3, 4, {0x03, 0x00}},
    {"Action_Header", header, 282, "descLen", 0x0102, 6, {0x02, 0x01}},
    {"Action_Header", header, 24, "targetType", 0x81, 8, {0x81}},
    {"Action_Header", header, 24, "range", 0x82, 9, {0x82}},
    {"Action_Header", header, 24, "levelAcquired", 0x83, 10, {0x83}},
    {"Action_Header", header, 24, "actionType", 3, 11, {0x03}},
    {"Action_Header", header, 24, "validClasses", 0x01020304, 12, {0x04, 0x03, 0x02, 0x01}},
    {"Action_Header", header, 24, "can_doStates", 0x80000001, 16, {0x01, 0x00, 0x00, 0x80}},
    {"Action_Header", header, 24, "numDetails", 0xFE, 20, {0xFE}},
    {"Action_Header", header, 26, "blahLen", 2, 21, {0x02}},
    {"Action_Header", header, 279, "fooLen", 0xFF, 22, {0xFF}},
    {"Action_Header", header, 25, "barLen", 1, 23, {0x01}},

    {"Action_Detail_Header", detail, 4, "type", 0x0201, 0, {0x01, 0x02}},
    {"Action_Detail_Header", detail, 4, "length", 0xFFFF, 2, {0xFF, 0xFF}},

    {"Damage_Details", damage, 24, "range", 0xAB, 0, {0xAB}},
    {"Damage_Details", damage, 24, "targetSize", 0xCD, 1, {0xCD}},
    {"Damage_Details", damage, 24, "die", -1, 2, {0xFF, 0xFF}},
    {"Damage_Details", damage, 24, "dice", 0x0102, 4, {0x02, 0x01}},
    {"Damage_Details", damage, 24, "base", -32768, 6, {0x00, 0x80}},
    {"Damage_Details", damage, 24, "toHitBonus", -2, 8, {0xFE, 0xFF, 0xFF, 0xFF}},
    {"Damage_Details", damage, 24, "levelMult", 0x12, 12, {0x12}},
    {"Damage_Details", damage, 24, "elemType", 0x34, 13, {0x34}},
    {"Damage_Details", damage, 24, "saveType", 0xBEEF, 14, {0xEF, 0xBE}},
    {"Damage_Details", damage, 24, "specFlag", 0x01020304, 16, {0x04, 0x03, 0x02, 0x01}},
    {"Damage_Details", damage, 24, "specArg", 0xFFFFFFFF, 20, {0xFF, 0xFF, 0xFF, 0xFF}},

    {"Healing_Details", healing, 18, "targetSize", 0x0102, 0, {0x02, 0x01}},
    {"Healing_Details", healing, 18, "numDice", -3, 2, {0xFD, 0xFF}},
    {"Healing_Details", healing, 18, "numSides", 0x7FFF, 4, {0xFF, 0x7F}},
    {"Healing_Details", healing, 18, "base", -2, 6, {0xFE, 0xFF}},
    {"Healing_Details", healing, 18, "saveType", 0x0A0B, 8, {0x0B, 0x0A}},
    {"Healing_Details", healing, 18, "flagSpecial", 0x11223344, 10, {0x44, 0x33, 0x22, 0x11}},
    {"Healing_Details", healing, 18, "flagCondition", 0xFFFFFFFE, 14, {0xFE, 0xFF, 0xFF, 0xFF}},

    {"StatMod_Details", statmod, 16, "range", 0x81, 0, {0x81}},
    {"StatMod_Details", statmod, 16, "targetSize", 0x82, 1, {0x82}},
    {"StatMod_Details", statmod, 16, "duration", 0x0304, 2, {0x04, 0x03}},
    {"StatMod_Details", statmod, 16, "durationExact", 0xFFFF, 4, {0xFF, 0xFF}},
    {"StatMod_Details", statmod, 16, "saveType", 0x0506, 6, {0x06, 0x05}},
    {"StatMod_Details", statmod, 16, "specialFlags", 0x80000001, 8, {0x01, 0x00, 0x00, 0x80}},
    {"StatMod_Details", statmod, 16, "numStatMods", 0xFFFFFFFF, 12, {0xFF, 0xFF, 0xFF, 0xFF}},

    {"StatMod_Stat_Details", stat, 4, "stat", 65535, 0, {0xFF, 0xFF}},
    {"StatMod_Stat_Details", stat, 4, "modAmt", -5, 2, {0xFB, 0xFF}},
};

class GoldenBytes : public ::testing::TestWithParam<GoldenCase> {
protected:
    TempDir dir;
};

TEST_P(GoldenBytes, FieldLandsAtItsOffsetAndReadsBack) {
    const GoldenCase &c = GetParam();
    ASSERT_TRUE(dir.ok());
    const Outcome out = c.write_and_read(dir.file("record.gz"), c.field, c.value);

    Bytes expected = zeros(c.size);
    std::copy(c.bytes.begin(), c.bytes.end(), expected.begin() + c.offset);
    EXPECT_EQ(out.bytes, expected);
    EXPECT_EQ(out.read_status, 0);
    EXPECT_EQ(out.read_back, c.value);
}

std::string case_name(const ::testing::TestParamInfo<GoldenCase> &info) {
    return std::string(info.param.record) + "_" + info.param.field;
}

INSTANTIATE_TEST_SUITE_P(AllRecords, GoldenBytes, ::testing::ValuesIn(kGolden), case_name);

}  // namespace
}  // namespace qn4t_test
