// The four stream functions, and files made by the system's own gzip tool.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "core_test_support.h"

namespace qn4t_test {
namespace {

using Entry = qn4tGeneric_StatMod_Stat_Details;

Entry entry(std::uint16_t stat) {
    Entry e;
    e.stat = stat;
    e.modAmt = -static_cast<std::int16_t>(stat);
    return e;
}

class RecordStream : public InTempDir {
protected:
    // A gzip file of the entries 0, 1, ... count - 1, four bytes each.
    std::string entries_file(int count) {
        const std::string path = file("entries.gz");
        written_by(path, [&](gzFile out) {
            for (int i = 0; i < count; ++i) entry(i).write(out);
        });
        return path;
    }
    // Runs a shell command of the test, e.g. the system's gzip.
    static void run(const std::string &command) {
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
};

TEST_F(RecordStream, MissingFileGivesNullHandleThatEveryFunctionAccepts) {
    gzFile handle = qn4tGenericOpen(file("missing.gz").c_str(), 0);
    ASSERT_EQ(handle, nullptr);
    qn4tGeneric_Damage_Details damage;
    EXPECT_EQ(damage.read(handle), -1);
    EXPECT_EQ(damage.write(handle), 0);
    EXPECT_EQ(qn4tGenericEOF(handle), 0);
    qn4tGenericSeek(handle, 4);
    qn4tGenericClose(handle);
}

// Any non-zero flag opens for writing.
TEST_F(RecordStream, NonZeroWriteFlagOpensForWriting) {
    for (int flag : {1, 7, -1}) {
        SCOPED_TRACE("writeFlag " + std::to_string(flag));
        const std::string path = file("w" + std::to_string(flag) + ".gz");
        {
            Stream out(qn4tGenericOpen(path.c_str(), flag));
            ASSERT_NE(static_cast<gzFile>(out), nullptr);
            EXPECT_EQ(qn4tGenericEOF(out), 0);
            entry(0x0201).write(out);
        }
        EXPECT_EQ(read_gz(path), Bytes({0x01, 0x02, 0xFF, 0xFD}));
    }
}

TEST_F(RecordStream, ZeroWriteFlagOpensForReading) {
    const std::string path = entries_file(2);
    Stream in(qn4tGenericOpen(path.c_str(), 0));
    ASSERT_NE(static_cast<gzFile>(in), nullptr);
    Entry e;
    EXPECT_EQ(e.read(in), 0);
    EXPECT_EQ(e.read(in), 0);
    EXPECT_EQ(e.stat, 1);
}

// An empty gzip file (a write stream closed without writing) and an empty plain file.
TEST_F(RecordStream, EmptyFileHoldsNoRecords) {
    written_by(file("empty.gz"), [](gzFile) {});
    write_plain(file("empty.bin"), {});
    for (const char *name : {"empty.gz", "empty.bin"}) {
        SCOPED_TRACE(name);
        Stream in(file(name), 0);
        ASSERT_NE(static_cast<gzFile>(in), nullptr);
        qn4tGeneric_Action_Header header;
        Entry e;
        EXPECT_EQ(header.read(in), -1);
        EXPECT_EQ(e.read(in), -1);
        EXPECT_EQ(qn4tGenericEOF(in), 1);
    }
}

// EOF may stay 0 right behind the last record; the read after it fails and sets it.
TEST_F(RecordStream, EndOfDataShowsAfterTheReadBehindTheLastRecord) {
    Stream in(entries_file(2), 0);
    Entry e;
    EXPECT_EQ(qn4tGenericEOF(in), 0);
    ASSERT_EQ(e.read(in), 0);
    EXPECT_EQ(qn4tGenericEOF(in), 0);
    ASSERT_EQ(e.read(in), 0);
    EXPECT_EQ(e.read(in), -1);
    EXPECT_EQ(qn4tGenericEOF(in), 1);
    EXPECT_EQ(e.read(in), -1);
    EXPECT_EQ(e.stat, 1);
}

// Seeks from the current position on a read stream, forward, by 0 and backward.
TEST_F(RecordStream, SeekMovesRelativeToTheCurrentPosition) {
    struct Step {
        int seek;
        int expected_stat;  // of the entry read right after the seek
    };
    const Step steps[] = {{0, 0}, {4, 2}, {-12, 0}, {8, 3}, {-8, 2}, {-4, 2}, {12, 6}};
    Stream in(entries_file(8), 0);
    for (const Step &s : steps) {
        SCOPED_TRACE("seek " + std::to_string(s.seek));
        qn4tGenericSeek(in, s.seek);
        Entry e;
        ASSERT_EQ(e.read(in), 0);
        EXPECT_EQ(e.stat, s.expected_stat);
    }
}

TEST_F(RecordStream, FailedSeekShowsInTheNextRead) {
    Stream in(entries_file(2), 0);
    qn4tGenericSeek(in, 100);
    Entry e;
    EXPECT_EQ(e.read(in), -1);
}

// On a write stream a forward seek writes zero bytes; a backward one writes nothing.
TEST_F(RecordStream, SeekOnWriteStreamOnlyMovesForward) {
    const Bytes bytes = written_by(file("w.gz"), [](gzFile out) {
        entry(1).write(out);
        qn4tGenericSeek(out, 3);
        entry(2).write(out);
        qn4tGenericSeek(out, -2);
        entry(3).write(out);
    });
    EXPECT_EQ(bytes, Bytes({1, 0, 0xFF, 0xFF, 0, 0, 0, 2, 0, 0xFE, 0xFF, 3, 0, 0xFD, 0xFF}));
}

// A forward seek before the first write still gives zero bytes, never stale heap bytes
// (zlib sets up its buffers on the first write; the open does it up front).
TEST_F(RecordStream, SeekBeforeTheFirstWriteGivesZeroBytes) {
    // Leave a freed, recognisable block for zlib's buffers to come from; the guard keeps
    // it from merging into the top of the heap and being handed back to the system.
    char *litter = static_cast<char *>(std::memset(std::malloc(40000), 0xAB, 40000));
    char *guard = static_cast<char *>(std::malloc(16));
    std::free(litter);
    const Bytes bytes = written_by(file("seek-first.gz"), [](gzFile out) { qn4tGenericSeek(out, 40); });
    EXPECT_EQ(bytes, Bytes(40, 0));
    std::free(guard);
}

TEST_F(RecordStream, WrittenFileDecompressesWithSystemGzip) {
    qn4tGeneric_Action_Header header;
    header.actionType = 2;
    qn4tGeneric_Healing_Details healing;
    fill_pattern(healing);
    const Bytes bytes = written_by(file("actions.gz"), [&](gzFile out) {
        header.write(out);
        healing.write(out);
    });
    ASSERT_EQ(bytes.size(), 32u + 18u);
    run("gzip -dc '" + file("actions.gz") + "' > '" + file("actions.out") + "'");
    EXPECT_EQ(read_plain(file("actions.out")), bytes);
}

TEST_F(RecordStream, FileCompressedBySystemGzipWithItsNameReads) {
    qn4tGeneric_Damage_Details damage;
    fill_pattern(damage);
    write_plain(file("actions"),
                concat(written(file("tmp.gz"), damage), written(file("tmp.gz"), entry(9))));
    run("gzip '" + file("actions") + "'");
    const Bytes compressed = read_plain(file("actions.gz"));
    ASSERT_GT(compressed.size(), 3u);
    ASSERT_TRUE(compressed[3] & 0x08) << "gzip stored no file name";

    Stream in(file("actions.gz"), 0);
    qn4tGeneric_Damage_Details damage_back;
    Entry e;
    ASSERT_EQ(damage_back.read(in), 0);
    EXPECT_TRUE(same_fields(damage_back, damage));
    ASSERT_EQ(e.read(in), 0);
    EXPECT_EQ(e.stat, 9);
    EXPECT_EQ(e.read(in), -1);
}

// The cut falls inside the damage record, so one record spans both members.
TEST_F(RecordStream, ConcatenatedGzipMembersReadAsOneStream) {
    Entry first = entry(5);
    qn4tGeneric_Damage_Details damage;
    fill_pattern(damage);
    const Bytes bytes = concat(written(file("tmp.gz"), first), written(file("tmp.gz"), damage));
    write_plain(file("part1"), Bytes(bytes.begin(), bytes.begin() + 14));
    write_plain(file("part2"), Bytes(bytes.begin() + 14, bytes.end()));
    run("gzip -c '" + file("part1") + "' > '" + file("both.gz") + "' && gzip -c '" + file("part2") +
        "' >> '" + file("both.gz") + "'");

    Stream in(file("both.gz"), 0);
    Entry e;
    qn4tGeneric_Damage_Details damage_back;
    ASSERT_EQ(e.read(in), 0);
    EXPECT_EQ(e.stat, 5);
    ASSERT_EQ(damage_back.read(in), 0);
    EXPECT_TRUE(same_fields(damage_back, damage));
    EXPECT_EQ(e.read(in), -1);
}

}  // namespace
}  // namespace qn4t_test
