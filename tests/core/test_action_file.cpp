// Whole actions: the codec against the record-level writer, round trips, every cut, and the
// gzip block reader on members, plain input and damaged compressed data.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "core/action_file.h"
#include "core/text.h"
#include "core_test_support.h"

namespace qn4t_test {
namespace {

using qn4t::ActionReader;
using qn4t::WholeAction;
using qn4t::WholeDetail;

class MemorySource : public qn4t::ByteSource {
public:
    explicit MemorySource(Bytes bytes, std::size_t step = 1 << 20)
        : bytes_(std::move(bytes)), step_(step) {}
    long read(std::uint8_t *out, std::size_t capacity) override {
        const std::size_t n = std::min({capacity, step_, bytes_.size() - at_});
        std::copy_n(bytes_.begin() + at_, n, out);
        at_ += n;
        return static_cast<long>(n);
    }

private:
    Bytes bytes_;
    std::size_t step_;  // at most this many bytes per read, to cross block edges
    std::size_t at_ = 0;
};

class MemorySink : public qn4t::ByteSink {
public:
    bool write(const std::uint8_t *data, std::size_t size) override {
        bytes.insert(bytes.end(), data, data + size);
        return true;
    }
    Bytes bytes;
};

Bytes as_bytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

// A spell with awkward texts (zero bytes inside, bytes that are no UTF-8, empty) and one
// detail of each kind: damage, a stat modification with `seed % 4` entries, healing, an
// unknown type kept raw, and a damage whose `length` disagrees with its 24-byte body.
void make_action(WholeAction &a, unsigned seed) {
    fill_pattern(a.head, seed);
    a.texts[0] = std::string("Fire\0ball", 9) + std::to_string(seed);
    a.texts[1] = seed % 2 ? std::string("\xff\xfe\x80 desc", 8) : std::string();
    a.texts[2] = std::string(255, static_cast<char>('a' + seed % 26));
    a.texts[3] = std::string("\0\0", 2);
    a.texts[4] = "";
    a.details.assign(5, WholeDetail());
    const std::uint16_t types[] = {1, 2, 3, 7, 1};
    for (std::size_t i = 0; i < a.details.size(); ++i) {
        WholeDetail &d = a.details[i];
        d.header.type = types[i];
        d.header.length = 24;
        qn4t::for_each_body_type(
            [&](auto tag) { fill_pattern(d.body<typename decltype(tag)::type>(), seed + 10 * i); });
    }
    a.details[4].header.length = 9999;
    a.details[1].stats.resize(seed % 4);
    for (std::size_t k = 0; k < a.details[1].stats.size(); ++k)
        fill_pattern(a.details[1].stats[k], seed + 100 + k);
    a.details[3].raw = std::string("raw\0bytes", 9);
    ASSERT_EQ(qn4t::derive_counts(a), "");
}

std::string encoded(const WholeAction &a) {
    std::string out;
    qn4t::encode_action(a, out);
    return out;
}

// The same action through the record-level classes, one record at a time.
void write_with_records(const WholeAction &a, gzFile out) {
    qn4tGeneric_Action_Header h;
    qn4t::for_each_field(plain_fields<qn4tGeneric_Action_Header>(), [&](const auto &f) {
        std::memcpy(&(h.*(f.member)), &(a.head.*(f.member)), sizeof(h.*(f.member)));
    });
    std::size_t n = 0;
    qn4t::for_each_field(qn4t::HeaderLayout::texts, [&](const auto &t) {
        h.*(t.length) = a.head.*(t.length);
        ASSERT_TRUE(qn4t::replace_text(h.*(t.member), a.texts[n].data(), a.texts[n].size()));
        ++n;
    });
    h.write(out);
    for (const WholeDetail &d : a.details) {
        d.header.write(out);
        const bool known = qn4t::visit_body_type(d.header.type, [&](auto tag) {
            using R = typename decltype(tag)::type;
            d.body<R>().write(out);
            if constexpr (qn4t::has_entries<R>)
                for (const auto &entry : d.stats) entry.write(out);
        });
        if (!known) gzwrite(out, d.raw.data(), static_cast<unsigned>(d.raw.size()));
    }
}

std::string actions_bytes(unsigned count) {
    std::string all;
    WholeAction a;
    for (unsigned i = 0; i < count; ++i) {
        make_action(a, i);
        qn4t::encode_action(a, all);
    }
    return all;
}

Bytes gzip(const Bytes &plain) {
    MemorySink sink;
    qn4t::BlockWriter writer(sink);
    EXPECT_TRUE(writer.write(plain.data(), plain.size()));
    EXPECT_TRUE(writer.finish());
    return sink.bytes;
}

struct ReadOutcome {
    std::string bytes;  // every action read, encoded again
    std::uint64_t actions = 0;
    bool damaged = false;
    std::string error;
};

ReadOutcome read_all(const Bytes &file, std::size_t step = 1 << 20) {
    MemorySource source(file, step);
    ActionReader reader(source);
    ReadOutcome outcome;
    WholeAction a;
    for (;;) {
        const ActionReader::Step s = reader.next(a);
        if (s != ActionReader::Step::action) {
            outcome.damaged = s == ActionReader::Step::damaged;
            outcome.error = reader.error();
            break;
        }
        qn4t::encode_action(a, outcome.bytes);
        ++outcome.actions;
    }
    return outcome;
}

class ActionFile : public InTempDir {};

TEST_F(ActionFile, EncodesTheBytesTheRecordWriterWrites) {
    for (unsigned seed : {0u, 1u, 2u, 3u}) {
        WholeAction a;
        make_action(a, seed);
        const Bytes records = written_by(file("records.gz"), [&](gzFile out) { write_with_records(a, out); });
        EXPECT_EQ(as_bytes(encoded(a)), records) << "seed " << seed;
        EXPECT_EQ(qn4t::encoded_size(a), records.size());
    }
}

TEST_F(ActionFile, DecodedActionsEncodeToTheSameBytesWithEveryFieldKept) {
    WholeAction a, b;
    for (unsigned seed = 0; seed < 8; ++seed) {
        make_action(a, seed);
        const std::string bytes = encoded(a);
        const qn4t::Decoded d = qn4t::decode_action(
            reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size(), b);
        ASSERT_TRUE(d.complete);
        EXPECT_EQ(d.used, bytes.size());
        EXPECT_TRUE(same_fields(a.head, b.head));
        for (std::size_t i = 0; i < qn4t::kTextCount; ++i) EXPECT_EQ(a.texts[i], b.texts[i]);
        ASSERT_EQ(b.details.size(), a.details.size());
        EXPECT_EQ(b.details[3].raw, std::string("raw\0bytes", 9));
        EXPECT_EQ(b.details[4].header.length, 9999) << "a length that disagrees is kept";
        EXPECT_EQ(b.details[1].stats.size(), seed % 4);
        EXPECT_EQ(encoded(b), bytes);
    }
}

TEST(ActionCounts, FollowTheContentsOrNameWhatDoesNotFit) {
    WholeAction a;
    a.texts[0] = "abc";
    a.details.resize(2);
    a.details[0].header.type = 2;
    a.details[0].stats.resize(3);
    a.details[1].header.type = 9;
    a.details[1].header.length = 1;
    a.details[1].raw = "12345";
    EXPECT_EQ(qn4t::derive_counts(a), "");
    EXPECT_EQ(a.head.nameLen, 3);
    EXPECT_EQ(a.head.numDetails, 2);
    EXPECT_EQ(a.details[0].body<qn4tGeneric_StatMod_Details>().numStatMods, 3u);
    EXPECT_EQ(a.details[1].header.length, 5);

    struct Case {
        void (*spoil)(WholeAction &);
        const char *message;
    } cases[] = {
        {[](WholeAction &x) { x.texts[2].assign(256, 'x'); },
         "blah: 256 bytes, more than the field holds (0 to 255)"},
        {[](WholeAction &x) { x.texts[1].assign(65536, 'x'); },
         "desc: 65536 bytes, more than the field holds (0 to 65535)"},
        {[](WholeAction &x) { x.details.resize(256); },
         "details: 256 details, more than the field holds (0 to 255)"},
        {[](WholeAction &x) { x.details[1].raw.assign(65536, 'x'); },
         "detail 2's body: 65536 bytes, more than the field holds (0 to 65535)"},
    };
    for (const Case &c : cases) {
        WholeAction b;
        b.texts[0] = "abc";
        b.details.resize(2);
        b.details[1].header.type = 9;
        c.spoil(b);
        EXPECT_EQ(qn4t::derive_counts(b), c.message);
        EXPECT_EQ(b.head.nameLen, 0) << "nothing changes when something does not fit";
    }
}

TEST(ActionDecode, EveryCutAsksForMoreAndNamesThePart) {
    WholeAction a, b;
    make_action(a, 3);
    const std::string bytes = encoded(a);
    std::string previous;
    for (std::size_t size = 0; size < bytes.size(); ++size) {
        const qn4t::Decoded d =
            qn4t::decode_action(reinterpret_cast<const std::uint8_t *>(bytes.data()), size, b);
        ASSERT_FALSE(d.complete) << size;
        EXPECT_GT(d.needed, size);
        EXPECT_LE(d.part_offset, size);
        if (d.part != previous) previous = d.part;
    }
    // the parts of the cut, in file order, at sizes that fall inside them
    const std::pair<std::size_t, const char *> parts[] = {
        {0, "the head"}, {23, "the head"}, {24, "the texts"},
        {24 + a.head.nameLen + a.head.descLen + 255 + 2, "the spell trailer"},
        {24 + a.head.nameLen + a.head.descLen + 255 + 2 + 8, "detail 1's header"},
        {24 + a.head.nameLen + a.head.descLen + 255 + 2 + 8 + 4, "detail 1's body"},
        {bytes.size() - 1, "detail 5's body"}};
    for (const auto &[size, part] : parts) {
        const qn4t::Decoded d =
            qn4t::decode_action(reinterpret_cast<const std::uint8_t *>(bytes.data()), size, b);
        EXPECT_EQ(d.part, part) << size;
    }
}

TEST(ActionDecode, StatEntriesCutAreNamed) {
    WholeAction a, b;
    make_action(a, 3);  // three entries
    const std::string bytes = encoded(a);
    // detail 2's body is a stat modification: cut one byte into its entries
    std::string head_part = encoded(a);
    const std::size_t at = 24 + a.head.nameLen + a.head.descLen + 255 + 2 + 8 + 4 + 24 + 4 + 16;
    const qn4t::Decoded d =
        qn4t::decode_action(reinterpret_cast<const std::uint8_t *>(bytes.data()), at + 5, b);
    EXPECT_EQ(d.part, "detail 2's stat entries");
    EXPECT_EQ(d.part_offset, at);
    EXPECT_EQ(d.needed, at + 12);
}

TEST(ActionReaderTest, ReadsGzipInBlocksAcrossMembersAndPlainInput) {
    const std::string bytes = actions_bytes(50);
    const Bytes plain = as_bytes(bytes);
    const Bytes half1(plain.begin(), plain.begin() + plain.size() / 3);
    const Bytes half2(plain.begin() + plain.size() / 3, plain.end());
    struct Case {
        const char *what;
        Bytes file;
    } cases[] = {
        {"one member", gzip(plain)},
        {"two members, cut inside an action", concat(gzip(half1), gzip(half2))},
        {"not gzip: plain records", plain},
        {"a member, then bytes that start none", concat(gzip(plain), as_bytes("junk"))},
    };
    for (const Case &c : cases) {
        for (std::size_t step : {std::size_t{7}, std::size_t{1} << 20}) {
            const ReadOutcome r = read_all(c.file, step);
            EXPECT_FALSE(r.damaged) << c.what << ": " << r.error;
            EXPECT_EQ(r.actions, 50u) << c.what;
            EXPECT_EQ(r.bytes, bytes) << c.what;
        }
    }
    EXPECT_EQ(read_all(Bytes()).actions, 0u);
    EXPECT_FALSE(read_all(Bytes()).damaged);
    EXPECT_FALSE(read_all(gzip(Bytes())).damaged);
}

TEST(ActionReaderTest, WhatTheBlockWriterWritesIsWhatGzreadReads) {
    const Bytes plain = as_bytes(actions_bytes(20));
    TempDir dir;
    write_plain(dir.file("w.gz"), gzip(plain));
    EXPECT_EQ(read_gz(dir.file("w.gz")), plain);
}

TEST(ActionReaderTest, EveryCutFileYieldsTheCompleteActionsThenNamesTheDamage) {
    const std::string bytes = actions_bytes(3);
    WholeAction a;
    make_action(a, 0);
    const std::size_t first = encoded(a).size();
    make_action(a, 1);
    const std::size_t second = first + encoded(a).size();
    for (std::size_t size = 1; size < bytes.size(); ++size) {
        if (size == first || size == second) continue;  // whole actions: no damage
        const Bytes cut(bytes.begin(), bytes.begin() + size);
        const ReadOutcome r = read_all(cut, 13);
        ASSERT_TRUE(r.damaged) << size;
        EXPECT_EQ(r.bytes, bytes.substr(0, r.bytes.size()));
        const std::string expected = "action " + std::to_string(r.actions + 1) + " at offset " +
                                     std::to_string(r.bytes.size()) + ": the file ends inside ";
        EXPECT_EQ(r.error.substr(0, expected.size()), expected) << r.error;
    }
    make_action(a, 1);  // the second action: its texts follow its head
    std::size_t texts = 0;
    for (const std::string &t : a.texts) texts += t.size();
    const ReadOutcome r = read_all(as_bytes(bytes.substr(0, first + 30)));
    EXPECT_EQ(r.error, "action 2 at offset " + std::to_string(first) +
                           ": the file ends inside the texts (at offset " +
                           std::to_string(first + 24) + ", " + std::to_string(texts) +
                           " bytes needed from there, 6 there)");
}

TEST(ActionReaderTest, CorruptOrCutCompressedDataIsReportedWithItsCompressedOffset) {
    const Bytes plain = as_bytes(actions_bytes(40));
    const Bytes good = gzip(plain);
    Bytes corrupt = good;
    for (std::size_t i = 20; i < 60; ++i) corrupt[i] ^= 0x55;
    Bytes bad_check = good;
    bad_check[bad_check.size() - 6] ^= 1;  // inside the CRC of the trailer
    const Bytes cut(good.begin(), good.begin() + good.size() / 2);
    struct Case {
        const char *what;
        Bytes file;
        const char *message;
    } cases[] = {
        {"corrupt", corrupt, "the compressed data is damaged at compressed byte "},
        {"bad check", bad_check, "the compressed data is damaged at compressed byte "},
        {"cut", cut, "the compressed data is cut short: the gzip stream starting at compressed byte "},
    };
    for (const Case &c : cases) {
        const ReadOutcome r = read_all(c.file, 1000);
        ASSERT_TRUE(r.damaged) << c.what;
        EXPECT_NE(r.error.find(c.message), std::string::npos) << c.what << ": " << r.error;
        EXPECT_EQ(r.bytes, std::string(plain.begin(), plain.begin() + r.bytes.size()));
    }
    EXPECT_NE(read_all(cut).error.find("cut short: the gzip stream starting at compressed byte 0 has no end"),
              std::string::npos);
}

// The verdicts of whichever inflater the build chose (Inflater::name()), written out once:
// the suites run with ISA-L and without it, so both give exactly these.
// Every byte inflated before a fault is given out first: a member whose trailer is cut or
// fails its check yields all its actions, then the fault, whichever inflater reads it.
TEST(ActionReaderTest, EveryInflaterGivesTheSameVerdicts) {
    const Bytes plain = as_bytes(actions_bytes(40));
    const Bytes good = gzip(plain);
    const std::size_t end = good.size();
    auto changed = [&](std::size_t at, std::uint8_t mask) {
        Bytes b = good;
        b[at] ^= mask;
        return b;
    };
    const Bytes third(plain.begin(), plain.begin() + plain.size() / 3);
    const Bytes rest(plain.begin() + plain.size() / 3, plain.end());
    const std::string corrupt = "the compressed data is damaged at compressed byte ";
    const std::string behind = "action 41 at offset " + std::to_string(plain.size()) + ": ";
    struct Case {
        const char *what;
        Bytes file;
        std::string error;  // empty: read whole
    } cases[] = {
        {"several members", concat(concat(gzip(third), gzip(rest)), gzip(Bytes())), ""},
        {"plain file", plain, ""},
        {"truncated", Bytes(good.begin(), good.end() - 3),
         behind + "the compressed data is cut short: the gzip stream starting at compressed byte 0 has no end"},
        // A failed CRC shows at its last byte, a failed length at the length's.
        {"corrupt CRC", changed(end - 7, 0x10), behind + corrupt + std::to_string(end - 5) + " (incorrect data check)"},
        {"wrong length", changed(end - 3, 0x01), behind + corrupt + std::to_string(end - 1) + " (incorrect length check)"},
    };
    for (const Case &c : cases) {
        for (std::size_t step : {std::size_t{5}, std::size_t{1} << 20}) {
            const ReadOutcome r = read_all(c.file, step);
            EXPECT_EQ(r.error, c.error) << qn4t::Inflater::name() << ", " << c.what << ", step " << step;
            EXPECT_EQ(r.actions, 40u) << c.what;
        }
    }
    // Data changed inside the member still inflates: the check at its end fails, after the
    // actions that decode.
    const std::string check = corrupt + std::to_string(end - 5) + " (incorrect data check)";
    for (std::size_t step : {std::size_t{5}, std::size_t{1} << 20}) {
        const ReadOutcome r = read_all(changed(end / 2, 0x01), step);
        ASSERT_GE(r.error.size(), check.size());
        EXPECT_EQ(r.error.substr(r.error.size() - check.size()), check) << step;
        EXPECT_LT(r.actions, 40u);
    }
    // A second member that fails its check: both members' actions come whole before it.
    const ReadOutcome r = read_all(concat(good, changed(end - 7, 0x10)), 5);
    EXPECT_EQ(r.actions, 80u);
    EXPECT_EQ(r.error, "action 81 at offset " + std::to_string(2 * plain.size()) + ": " + corrupt +
                           std::to_string(2 * end - 5) + " (incorrect data check)");
}

// Damage inside the deflate data is placed at the compressed byte that shows it: not before
// the damage, and within the few bytes an inflater reads ahead.
TEST(ActionReaderTest, DamageIsPlacedAtItsCompressedByte) {
    const Bytes plain = as_bytes(actions_bytes(40));
    const Bytes good = gzip(plain);
    for (std::size_t at : {std::size_t{14}, std::size_t{40}}) {
        Bytes bad = good;
        for (std::size_t i = at; i < at + 4; ++i) bad[i] = 0xff;
        const ReadOutcome r = read_all(bad, 3);
        const std::string prefix = "action 1 at offset 0: the compressed data is damaged at compressed byte ";
        ASSERT_EQ(r.error.substr(0, prefix.size()), prefix) << r.error;
        const std::size_t placed = std::stoul(r.error.substr(prefix.size()));
        EXPECT_GE(placed, at) << r.error;
        EXPECT_LE(placed, at + 4 + 16) << r.error;
    }
}

// Deflate data whose first match reaches back before the start of the output: an inflater
// may leave its input count past what it was given at that fault (ISA-L does), which must
// count as nothing taken, not as a wrapped-around size. The file is reported corrupt, never
// read out of bounds, however its bytes arrive.
TEST(ActionReaderTest, AMatchBeforeTheStartIsCorruptWhateverTheBlocks) {
    const Bytes file = {0x1f, 0x8b, 0x08, 0x00, 0x00, 0xe3, 0xc6, 0xb3, 0x16, 0xc6, 0xa2, 0x70, 0x70,
                        0x40, 0x28, 0xf8, 0xa2, 0x70, 0x70, 0x99, 0x0b, 0x28, 0x70, 0x70, 0x70, 0x70};
    for (std::size_t step : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{1} << 20}) {
        const ReadOutcome r = read_all(file, step);
        EXPECT_TRUE(r.damaged) << step;
        EXPECT_NE(r.error.find("the compressed data is damaged at compressed byte "), std::string::npos)
            << step << ": " << r.error;
    }
}

// The block writer on threads: a gzip file that inflates to the same bytes, close to the
// single-threaded size, and byte for byte the single-threaded output when one block holds all.
Bytes gzip_on_threads(const Bytes &plain, unsigned threads, std::size_t block, std::size_t piece) {
    MemorySink sink;
    qn4t::ParallelDeflate writer(sink, threads, block);
    for (std::size_t at = 0; at < plain.size(); at += piece)
        EXPECT_TRUE(writer.write(plain.data() + at, std::min(piece, plain.size() - at)));
    EXPECT_TRUE(writer.finish()) << writer.error();
    return sink.bytes;
}

// The uncompressed size of each gzip member of `file`, inflated one member at a time as a
// reader that stops at a member's end does; empty where a member does not inflate.
std::vector<std::size_t> member_sizes(const Bytes &file) {
    std::vector<std::size_t> sizes;
    std::vector<std::uint8_t> out(1 << 16);
    for (std::size_t at = 0; at < file.size();) {
        z_stream z{};
        if (inflateInit2(&z, 31) != Z_OK) return {};
        z.next_in = const_cast<Bytef *>(file.data() + at);
        z.avail_in = static_cast<uInt>(file.size() - at);
        int status = Z_OK;
        while (status == Z_OK) {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            status = inflate(&z, Z_NO_FLUSH);
        }
        at += z.total_in;
        sizes.push_back(z.total_out);
        inflateEnd(&z);
        if (status != Z_STREAM_END) return {};
    }
    return sizes;
}

TEST(BlockWriterTest, ThreadsMakeOneFileOfTheSameBytes) {
    const Bytes plain = as_bytes(actions_bytes(600));  // several blocks of either size
    const Bytes single = gzip(plain);
    for (unsigned threads : {0u, 1u, 2u, 5u}) {
        for (std::size_t block : {std::size_t{32 * 1024}, std::size_t{100000}}) {
            const std::string what = std::to_string(threads) + " threads, block " + std::to_string(block);
            const Bytes made = gzip_on_threads(plain, threads, block, 7777);
            const ReadOutcome r = read_all(made, 1000);
            EXPECT_FALSE(r.damaged) << r.error;
            EXPECT_EQ(as_bytes(r.bytes), plain) << what;
            TempDir dir;
            write_plain(dir.file("t.gz"), made);
            EXPECT_EQ(read_gz(dir.file("t.gz")), plain) << what;
            // One member in all, or one per block, each holding a whole block.
            const std::vector<std::size_t> sizes = member_sizes(made);
            const std::size_t blocks = (plain.size() + block - 1) / block;
            if (qn4t::ParallelDeflate::whole_members()) {
                ASSERT_EQ(sizes.size(), blocks) << what;
                for (std::size_t n = 0; n + 1 < blocks; ++n) EXPECT_EQ(sizes[n], block) << what;
                // Blocks this small compress without the context before them: only their
                // cost is bounded here; the writer's own blocks are measured by the bench.
                EXPECT_LT(made.size(), single.size() * 115 / 100) << what;
            } else {
                EXPECT_EQ(sizes, std::vector<std::size_t>{plain.size()}) << what;
                EXPECT_LT(made.size(), single.size() * 102 / 100) << what;
            }
        }
    }
    // Input within one block: the bytes the single-threaded writer makes.
    EXPECT_EQ(gzip_on_threads(plain, 2, plain.size(), 5000), single);
    EXPECT_EQ(gzip_on_threads(plain, 0, plain.size(), plain.size()), single);
    EXPECT_EQ(gzip_on_threads(Bytes(), 2, 1 << 20, 1), gzip(Bytes()));
}

class FailingSink : public qn4t::ByteSink {
public:
    explicit FailingSink(std::size_t writes) : writes_(writes) {}
    bool write(const std::uint8_t *, std::size_t) override { return writes_-- > 0; }

private:
    std::size_t writes_;
};

TEST(BlockWriterTest, AFailingSinkStopsTheThreadedWriter) {
    const Bytes plain = as_bytes(actions_bytes(300));
    for (std::size_t writes : {0u, 1u, 3u}) {
        FailingSink sink(writes);
        qn4t::ParallelDeflate writer(sink, 2, 32 * 1024);
        bool ok = writer.write(plain.data(), plain.size());
        ok = ok && writer.finish();
        EXPECT_FALSE(ok) << writes;
        EXPECT_EQ(writer.error(), "the output cannot be written");
        EXPECT_FALSE(writer.write(plain.data(), 10));
    }
}

// One action whose details are stat modifications: every detail but the last with `held`
// zero entries, the last declaring `count` entries and ending before them.
std::string head_declaring(std::uint32_t count, std::size_t held = 0, std::size_t details = 1) {
    WholeAction a;
    a.head.actionID = 77;
    a.details.resize(details);
    for (WholeDetail &d : a.details) {
        d.header.type = 2;
        d.stats.resize(held);
    }
    a.details.back().stats.clear();
    EXPECT_EQ(qn4t::derive_counts(a), "");
    a.details.back().body<qn4tGeneric_StatMod_Details>().numStatMods = count;
    return encoded(a);
}

// `prefix`, `zeros` zero bytes and `suffix` in one gzip member, compressed as they are made:
// a small file that inflates to far more than it holds.
Bytes gzip_with_zeros(const std::string &prefix, std::size_t zeros, const std::string &suffix = "") {
    MemorySink sink;
    qn4t::BlockWriter writer(sink);
    const auto put = [&](const std::string &s) {
        EXPECT_TRUE(writer.write(reinterpret_cast<const std::uint8_t *>(s.data()), s.size()));
    };
    put(prefix);
    const std::string block(1 << 20, '\0');
    for (std::size_t left = zeros; left > 0; left -= std::min(left, block.size()))
        put(block.substr(0, std::min(left, block.size())));
    put(suffix);
    EXPECT_TRUE(writer.finish());
    return sink.bytes;
}

TEST(ActionReaderTest, StatEntriesAreTakenAsTheyArriveNotAsDeclared) {
    const std::size_t kMax = qn4t::kMaxHeldStats;
    const std::string huge = head_declaring(0xFFFFFFFFu);
    const std::string prefix = "action 1 at offset 0: ";
    struct Case {
        const char *what;
        Bytes file;
        std::string message;
    } cases[] = {
        {"four billion declared, 64 MB there",
         gzip_with_zeros(huge, std::size_t{64} << 20),
         "the file ends inside detail 1's stat entries (at offset " +
             std::to_string(huge.size()) + ", 17179869180 bytes needed from there, 67108864 there)"},
        {"an entry and a half there", gzip_with_zeros(huge, 6),
         "the file ends inside detail 1's stat entries (at offset " +
             std::to_string(huge.size()) + ", 17179869180 bytes needed from there, 6 there)"},
        {"more than an action may hold, all there",
         gzip_with_zeros(head_declaring(std::uint32_t(kMax + 1)), 4 * (kMax + 1)),
         "detail 1 has " + std::to_string(kMax + 1) +
             " stat entries, more than an action read whole may hold (" + std::to_string(kMax) +
             " in all its details)"},
        {"the limit is for all details together",
         gzip_with_zeros(head_declaring(std::uint32_t(kMax / 2 + 1), kMax / 2, 2),
                         4 * (kMax / 2 + 1)),
         "detail 2 has " + std::to_string(kMax / 2 + 1) +
             " stat entries, more than an action read whole may hold (" + std::to_string(kMax) +
             " in all its details)"},
    };
    for (const Case &c : cases) {
        MemorySource source(c.file);
        ActionReader reader(source);
        WholeAction a;
        EXPECT_EQ(reader.next(a), ActionReader::Step::damaged) << c.what;
        EXPECT_EQ(reader.error(), prefix + c.message) << c.what;
        EXPECT_EQ(reader.next(a), ActionReader::Step::damaged) << c.what << ": damage is final";
    }
}

TEST(ActionReaderTest, AnActionOfMillionsOfStatEntriesReadsWhole) {
    const std::uint32_t count = 3000000;
    std::string plain = head_declaring(count);
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint8_t entry[4] = {std::uint8_t(k), std::uint8_t(k >> 8), std::uint8_t(k >> 16),
                                       std::uint8_t(0x80 | k % 7)};
        plain.append(reinterpret_cast<const char *>(entry), 4);
    }
    plain += encoded(WholeAction());  // and an action behind it
    for (std::size_t step : {std::size_t{4093}, std::size_t{1} << 20}) {
        const ReadOutcome r = read_all(gzip(as_bytes(plain)), step);
        EXPECT_FALSE(r.damaged) << r.error;
        EXPECT_EQ(r.actions, 2u);
        EXPECT_TRUE(r.bytes == plain) << "every entry as it was, across block edges";
    }
    WholeAction a;
    const qn4t::Decoded d =
        qn4t::decode_action(reinterpret_cast<const std::uint8_t *>(plain.data()), plain.size(), a);
    ASSERT_TRUE(d.complete);
    ASSERT_EQ(a.details[0].stats.size(), count);
    EXPECT_EQ(a.details[0].stats[count - 1].stat, (count - 1) & 0xffff);
    EXPECT_EQ(a.details[0].stats[count - 1].modAmt,
              std::int16_t(((0x80 | (count - 1) % 7) << 8) | (((count - 1) >> 16) & 0xff)));
}

}  // namespace
}  // namespace qn4t_test
