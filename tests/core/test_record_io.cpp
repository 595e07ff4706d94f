// Read and write rules every record type shares: sizes of a fresh record, round trips,
// short streams, null and wrong-mode handles.
#include <gtest/gtest.h>

#include "core/record_types.h"
#include "core_test_support.h"

namespace qn4t_test {
namespace {

// Bytes of a fresh record in the file; also the fixed part that a read fetches first.
// clang-format off
template <class R> constexpr std::size_t kFreshSize = 0;
template <> constexpr std::size_t kFreshSize<qn4tGeneric_Action_Header> = 24;
template <> constexpr std::size_t kFreshSize<qn4tGeneric_Action_Detail_Header> = 4;
template <> constexpr std::size_t kFreshSize<qn4tGeneric_Damage_Details> = 24;
template <> constexpr std::size_t kFreshSize<qn4tGeneric_Healing_Details> = 18;
template <> constexpr std::size_t kFreshSize<qn4tGeneric_StatMod_Details> = 16;
template <> constexpr std::size_t kFreshSize<qn4tGeneric_StatMod_Stat_Details> = 4;
// clang-format on

template <class R>
class RecordIo : public InTempDir {};
using AllRecords = qn4t::Apply<::testing::Types, qn4t::RecordTypes>;
TYPED_TEST_SUITE(RecordIo, AllRecords);

TYPED_TEST(RecordIo, FreshRecordWritesOnlyZeroBytes) {
    TypeParam fresh;
    EXPECT_EQ(written(this->file("fresh.gz"), fresh), zeros(kFreshSize<TypeParam>));
}

// For the action header the pattern also sets the text lengths while the texts are absent:
// those bytes go out as zeros and come back as texts of zero bytes.
TYPED_TEST(RecordIo, WrittenRecordReadsBackWithEveryFieldAndSameBytes) {
    TypeParam original;
    fill_pattern(original);
    const Bytes bytes = written(this->file("a.gz"), original);

    TypeParam copy;
    Stream in(this->file("a.gz"), 0);
    ASSERT_EQ(copy.read(in), 0);
    EXPECT_TRUE(same_fields(copy, original));
    EXPECT_EQ(written(this->file("b.gz"), copy), bytes);
}

TYPED_TEST(RecordIo, RecordsReadBackInTheOrderWritten) {
    TypeParam first, second;
    fill_pattern(first, 1);
    fill_pattern(second, 60);
    written_by(this->file("two.gz"), [&](gzFile out) {
        first.write(out);
        second.write(out);
    });

    Stream in(this->file("two.gz"), 0);
    TypeParam record;
    ASSERT_EQ(record.read(in), 0);
    EXPECT_TRUE(same_fields(record, first));
    ASSERT_EQ(record.read(in), 0);
    EXPECT_TRUE(same_fields(record, second));
    EXPECT_EQ(record.read(in), -1);
}

// Every cut inside the fixed part, down to an empty stream: -1, the record untouched, and
// the next read finds the end of the data.
TYPED_TEST(RecordIo, StreamEndingInsideTheFixedPartLeavesRecordUnchanged) {
    TypeParam full;
    fill_pattern(full, 1);
    const Bytes bytes = written(this->file("full.gz"), full);
    TypeParam before;
    fill_pattern(before, 90);

    for (std::size_t cut = 0; cut < kFreshSize<TypeParam>; ++cut) {
        SCOPED_TRACE("stream of " + std::to_string(cut) + " bytes");
        write_gz(this->file("cut.gz"), Bytes(bytes.begin(), bytes.begin() + cut));
        Stream in(this->file("cut.gz"), 0);
        TypeParam record;
        fill_pattern(record, 90);
        EXPECT_EQ(record.read(in), -1);
        EXPECT_TRUE(same_fields(record, before));
        EXPECT_EQ(record.read(in), -1);
        EXPECT_EQ(qn4tGenericEOF(in), 1);
    }
}

TYPED_TEST(RecordIo, NullHandleReadsNothingAndWriteStillReturnsZero) {
    TypeParam record, before;
    fill_pattern(record);
    fill_pattern(before);
    EXPECT_EQ(record.read(nullptr), -1);
    EXPECT_TRUE(same_fields(record, before));
    EXPECT_EQ(record.write(nullptr), 0);
}

TYPED_TEST(RecordIo, ReadFromWriteStreamFailsAndLeavesRecordUnchanged) {
    TypeParam record, before;
    fill_pattern(record);
    fill_pattern(before);
    Stream out(this->file("w.gz"), 1);
    ASSERT_NE(static_cast<gzFile>(out), nullptr);
    EXPECT_EQ(record.read(out), -1);
    EXPECT_TRUE(same_fields(record, before));
    out.close();
    EXPECT_EQ(read_gz(this->file("w.gz")), Bytes{});
}

TYPED_TEST(RecordIo, WriteToReadStreamReturnsZeroAndWritesNothing) {
    TypeParam stored;
    const Bytes bytes = written(this->file("r.gz"), stored);
    const Bytes file_before = read_plain(this->file("r.gz"));

    TypeParam other;
    fill_pattern(other);
    {
        Stream in(this->file("r.gz"), 0);
        EXPECT_EQ(other.write(in), 0);
        EXPECT_EQ(stored.read(in), 0) << "the stream still reads from its start";
    }
    EXPECT_EQ(read_plain(this->file("r.gz")), file_before);
}

TYPED_TEST(RecordIo, PlainUncompressedFileReadsLikeGzip) {
    TypeParam original;
    fill_pattern(original);
    write_plain(this->file("plain.bin"), written(this->file("a.gz"), original));

    TypeParam copy;
    Stream in(this->file("plain.bin"), 0);
    ASSERT_EQ(copy.read(in), 0);
    EXPECT_TRUE(same_fields(copy, original));
    EXPECT_EQ(copy.read(in), -1);
}

}  // namespace
}  // namespace qn4t_test
