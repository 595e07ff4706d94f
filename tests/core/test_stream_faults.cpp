// Failures of the record stream that must not pass for success: writes zlib could not take,
// a close whose data did not reach the file, and reads that stop on damaged compressed data
// rather than at the clean end of the data.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "core/memory.h"
#include "core/text.h"
#include "core_test_support.h"

namespace qn4t_test {
namespace {

using Entry = qn4tGeneric_StatMod_Stat_Details;

// Entries whose bytes do not repeat much, so that they compress poorly and zlib has to
// write to the file early.
Entry varied_entry(unsigned i) {
    Entry e;
    e.stat = static_cast<std::uint16_t>(i * 2654435761u >> 7);
    e.modAmt = static_cast<std::int16_t>(i * 40503u);
    return e;
}

Bytes varied_entries(unsigned count) {
    Bytes bytes;
    for (unsigned i = 0; i < count; ++i) {
        const Entry e = varied_entry(i);
        bytes.insert(bytes.end(), {static_cast<std::uint8_t>(e.stat), static_cast<std::uint8_t>(e.stat >> 8),
                                   static_cast<std::uint8_t>(e.modAmt),
                                   static_cast<std::uint8_t>(static_cast<std::uint16_t>(e.modAmt) >> 8)});
    }
    return bytes;
}

// ---- Writing to a full device ----

// /dev/full, the device on which every write fails with ENOSPC; null when this machine has
// none (a regular file of that name takes writes and would prove nothing).
gzFile open_full_device() {
    struct stat st;
    if (stat("/dev/full", &st) != 0 || !S_ISCHR(st.st_mode)) {
        ADD_FAILURE() << "/dev/full is not the full device on this machine";
        return nullptr;
    }
    gzFile out = qn4tGenericOpen("/dev/full", 1);
    EXPECT_NE(out, nullptr) << "cannot open /dev/full for writing";
    return out;
}

TEST(WriteFaults, FewRecordsOnAFullDeviceFailOnlyAtTheClose) {
    gzFile out = open_full_device();
    if (!out) return;
    EXPECT_EQ(varied_entry(1).write(out), 0) << "zlib keeps a small record in its buffers";
    const qn4t::StreamFault fault = qn4t::close_written(out);
    EXPECT_EQ(fault.zlib_error, Z_ERRNO);
    EXPECT_EQ(fault.system_error, ENOSPC);
    EXPECT_NE(std::string(fault.message).find("No space left on device"), std::string::npos)
        << fault.message;
}

TEST(WriteFaults, ManyRecordsOnAFullDeviceFailAtTheWriteAndAfter) {
    gzFile out = open_full_device();
    if (!out) return;
    unsigned written = 0;
    while (written < 1000000 && varied_entry(written).write(out) == 0) ++written;
    ASSERT_LT(written, 1000000u) << "no write failed";
    errno = 0;
    EXPECT_EQ(varied_entry(0).write(out), -1) << "a later write is refused too";
    qn4tGeneric_Action_Header header;
    EXPECT_EQ(header.write(out), -1);
    const qn4t::StreamFault fault = qn4t::close_written(out);
    EXPECT_EQ(fault.zlib_error, Z_ERRNO) << "the earlier failure is reported at the close";
    EXPECT_NE(std::string(fault.message).find("No space left on device"), std::string::npos)
        << fault.message;
}

class CloseFaults : public InTempDir {};

TEST_F(CloseFaults, CompleteFileClosesWithoutAFaultAndWithTheSameBytes) {
    const std::string checked = file("checked.gz"), plain = file("plain.gz");
    for (const std::string &path : {checked, plain}) {
        gzFile out = qn4tGenericOpen(path.c_str(), 1);
        ASSERT_NE(out, nullptr);
        for (unsigned i = 0; i < 5000; ++i) ASSERT_EQ(varied_entry(i).write(out), 0);
        if (path == checked)
            EXPECT_FALSE(qn4t::close_written(out)) << "a sound file reports a fault";
        else
            qn4tGenericClose(out);
    }
    EXPECT_EQ(read_plain(checked), read_plain(plain)) << "the checked close wrote other bytes";
    EXPECT_EQ(read_gz(checked), varied_entries(5000));
}

// ---- Why a read returned -1 ----

class ReadFaults : public InTempDir {
protected:
    // The gzip file of `count` varied entries, as the record stream writes it.
    Bytes compressed(unsigned count) {
        const std::string path = file("whole.gz");
        write_gz(path, varied_entries(count));
        return read_plain(path);
    }
    // Reads entries from `bytes` (stored as a file) until a read returns -1; the number of
    // entries read and what read_failure() says about the -1.
    std::pair<unsigned, qn4t::StreamFault> read_to_the_end(const Bytes &bytes) {
        const std::string path = file("read.gz");
        write_plain(path, bytes);
        Stream in(path, 0);
        EXPECT_NE(static_cast<gzFile>(in), nullptr);
        Entry e;
        unsigned read = 0;
        while (e.read(in) == 0) ++read;
        return {read, qn4t::read_failure(in, errno)};
    }
};

TEST_F(ReadFaults, EachWayTheDataStopsIsToldApart) {
    const unsigned count = 20000;
    const Bytes whole = compressed(count);
    ASSERT_GT(whole.size(), 1000u);
    const std::size_t half = whole.size() / 2;
    auto changed = [&](std::size_t at, std::uint8_t flip) {
        Bytes bytes = whole;
        bytes[at] ^= flip;
        return bytes;
    };
    Bytes plain_cut = varied_entries(3);
    plain_cut.pop_back();
    constexpr unsigned kSome = ~0u;  // some records, not all of them
    struct Case {
        const char *what;
        Bytes bytes;
        unsigned records;     // read before the -1
        int zlib_error;
        const char *message;  // a part of zlib's message
    };
    const Case cases[] = {
        {"a complete file", whole, count, Z_OK, ""},
        {"a file cut in half", Bytes(whole.begin(), whole.begin() + half), kSome, Z_BUF_ERROR,
         "unexpected end of file"},
        {"a file without its gzip trailer", Bytes(whole.begin(), whole.end() - 8), count,
         Z_BUF_ERROR, "unexpected end of file"},
        {"a bad CRC in the trailer", changed(whole.size() - 8, 0x01), kSome, Z_DATA_ERROR,
         "incorrect data check"},
        {"a bad length in the trailer", changed(whole.size() - 4, 0x01), kSome, Z_DATA_ERROR,
         "incorrect length check"},
        {"damaged deflate data", changed(half, 0xFF), kSome, Z_DATA_ERROR, ""},
        {"a plain file ending inside a record", plain_cut, 2, Z_OK, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const auto [read, fault] = read_to_the_end(c.bytes);
        EXPECT_EQ(fault.zlib_error, c.zlib_error) << fault.message;
        EXPECT_NE(std::string(fault.message).find(c.message), std::string::npos) << fault.message;
        if (c.zlib_error == Z_OK) {
            EXPECT_EQ(fault.message[0], '\0');
        }
        if (c.records == kSome) {
            EXPECT_LT(read, count);
        } else {
            EXPECT_EQ(read, c.records);
        }
    }
}

TEST_F(ReadFaults, NullHandleHasNoFault) {
    EXPECT_FALSE(qn4t::read_failure(nullptr, 0));
    EXPECT_FALSE(qn4t::stream_fault(nullptr, 0));
    EXPECT_FALSE(qn4t::close_written(nullptr));
}

// ---- Memory ----

// Switches injected allocation failures off however the test ends.
struct NoAllocations {
    NoAllocations() { qn4t::fail_allocations_after(0); }
    ~NoAllocations() { qn4t::fail_allocations_after(-1); }
};

// A spell with a name, a description of `desc_size` bytes and three bytes of padding behind it.
void give_texts(qn4tGeneric_Action_Header &h, std::size_t desc_size) {
    h.actionType = qn4tGeneric_Action_Header::kSpellType;
    const std::string name = "Emberfall", desc(desc_size, 'd');
    EXPECT_TRUE(qn4t::replace_text(h.name, name.data(), name.size()));
    EXPECT_TRUE(qn4t::replace_text(h.desc, desc.data(), desc.size()));
    h.nameLen = static_cast<std::uint16_t>(name.size());
    h.descLen = static_cast<std::uint16_t>(desc.size() + 3);
    std::memcpy(h.spellCode, "EMBR", 5);
}

class MemoryFaults : public InTempDir {};

// Records larger than the write buffer go out in several pieces, still without the heap.
TEST_F(MemoryFaults, HeaderWriteNeedsNoMemory) {
    for (std::size_t desc_size : {10u, 3000u}) {
        SCOPED_TRACE("desc of " + std::to_string(desc_size) + " bytes");
        qn4tGeneric_Action_Header h;
        give_texts(h, desc_size);
        const std::string path = file("h" + std::to_string(desc_size) + ".gz");
        Stream out(path, 1);
        {
            NoAllocations failing;
            EXPECT_EQ(h.write(out), 0);
        }
        out.close();
        const Bytes bytes = read_gz(path);
        ASSERT_EQ(bytes.size(), 24 + 9 + desc_size + 3 + 8);
        EXPECT_EQ(Bytes(bytes.begin() + 33 + desc_size, bytes.begin() + 36 + desc_size), zeros(3));
        EXPECT_EQ(Bytes(bytes.end() - 8, bytes.end() - 4), Bytes({'E', 'M', 'B', 'R'}));
    }
}

TEST_F(MemoryFaults, HeaderReadWithoutMemoryIsNotTheEndOfTheData) {
    const std::string path = file("h.gz");
    qn4tGeneric_Action_Header original;
    give_texts(original, 10);
    written(path, original);
    Stream in(path, 0);
    qn4tGeneric_Action_Header h;
    {
        NoAllocations failing;
        ASSERT_EQ(h.read(in), -1);
    }
    const qn4t::StreamFault fault = qn4t::read_failure(in, errno);
    EXPECT_EQ(fault.zlib_error, Z_MEM_ERROR) << fault.message;
}

TEST(BlocksInUse, CountsWhatTheModuleAllocatesAndGivesBack) {
    const std::size_t before = qn4t::blocks_in_use();
    char *text = qn4t::make_text("abc", 3);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(qn4t::blocks_in_use(), before + 1);
    qn4t::release_text(text);
    qn4t::release(nullptr);
    EXPECT_EQ(qn4t::blocks_in_use(), before);
}

}  // namespace
}  // namespace qn4t_test
