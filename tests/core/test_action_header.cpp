// The action header's variable part: texts, the spell trailer, short streams, texts whose
// buffers disagree with their length fields, and running out of memory.
#include <gtest/gtest.h>

#include <array>
#include <optional>

#include "core/memory.h"
#include "core/text.h"
#include "core_test_support.h"

namespace qn4t_test {
namespace {

using Header = qn4tGeneric_Action_Header;
using qn4t::HeaderLayout;

constexpr std::size_t kTexts = std::tuple_size_v<decltype(HeaderLayout::texts)>;
using Texts = std::array<std::string, kTexts>;  // name, desc, blah, foo, bar

// Calls fn(text slot, length field) for the five texts in file order.
template <class Fn>
void for_each_text(Header &h, Fn &&fn) {
    qn4t::for_each_field(HeaderLayout::texts,
                         [&](const auto &t) { fn(h.*(t.member), h.*(t.length)); });
}

// Gives every text its bytes and sets its length field to match.
void set_texts(Header &h, const Texts &texts) {
    std::size_t i = 0;
    for_each_text(h, [&](char *&slot, auto &length) {
        const std::string &bytes = texts[i++];
        ASSERT_TRUE(qn4t::replace_text(slot, bytes.data(), bytes.size()));
        length = static_cast<std::remove_reference_t<decltype(length)>>(bytes.size());
    });
}

// The bytes each text buffer holds; "<absent>" for a null text.
Texts texts_of(Header &h) {
    Texts texts;
    std::size_t i = 0;
    for_each_text(h, [&](char *slot, auto) {
        texts[i++] = slot ? std::string(slot, qn4t::text_size(slot)) : "<absent>";
    });
    return texts;
}

// Every text is absent or a buffer with a zero byte behind the bytes it holds.
::testing::AssertionResult texts_valid(Header &h) {
    std::string problems;
    std::size_t i = 0;
    for_each_text(h, [&](char *slot, auto) {
        if (slot && slot[qn4t::text_size(slot)] != '\0') problems += " text " + std::to_string(i);
        ++i;
    });
    if (problems.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "not zero-terminated:" << problems;
}

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

class ActionHeader : public InTempDir {
protected:
    // A spell with all five texts, inner zero bytes included, and the code bytes A B 0 C.
    static void make_spell(Header &h) {
        h.actionID = 7;
        h.actionType = Header::kSpellType;
        set_texts(h, {std::string("Fi\0re", 5), "hot", std::string("\0x", 2), "y",
                      std::string("zz\0z", 4)});
        std::memcpy(h.spellCode, "AB\0C", 4);
        h.spellPath = 0x0102;
        h.spellCost = 0xFFFE;
    }
    static Bytes spell_bytes() {
        Bytes head = zeros(24);
        head[0] = 7;
        head[4] = 5;   // nameLen
        head[6] = 3;   // descLen
        head[11] = 2;  // actionType
        head[21] = 2;  // blahLen
        head[22] = 1;  // fooLen
        head[23] = 4;  // barLen
        const Bytes texts = bytes_of(std::string_view("Fi\0rehot\0xyzz\0z", 15));
        const Bytes trailer = {'A', 'B', 0, 'C', 0x02, 0x01, 0xFE, 0xFF};
        return concat(concat(head, texts), trailer);
    }
    Bytes written_header(const Header &h) { return written(file("header.gz"), h); }
};

TEST_F(ActionHeader, FreshHeaderHasAllZeroSpellCode) {
    Header h;
    EXPECT_EQ(Bytes(h.spellCode, h.spellCode + 5), zeros(5));
    EXPECT_EQ(texts_of(h), Texts({"<absent>", "<absent>", "<absent>", "<absent>", "<absent>"}));
}

TEST_F(ActionHeader, FreshSpellWritesHeadAndZeroTrailer) {
    Header h;
    h.actionType = 2;
    Bytes expected = zeros(32);
    expected[11] = 2;
    EXPECT_EQ(written_header(h), expected);
}

TEST_F(ActionHeader, SpellWritesTextsThenTrailerExactly) {
    Header h;
    make_spell(h);
    EXPECT_EQ(written_header(h), spell_bytes());
}

TEST_F(ActionHeader, SpellReadBackKeepsInnerZeroBytesAndWritesTheSameBytes) {
    write_gz(file("spell.gz"), spell_bytes());
    Header h;
    Stream in(file("spell.gz"), 0);
    ASSERT_EQ(h.read(in), 0);

    EXPECT_EQ(texts_of(h), Texts({std::string("Fi\0re", 5), "hot", std::string("\0x", 2), "y",
                                  std::string("zz\0z", 4)}));
    EXPECT_TRUE(texts_valid(h));
    EXPECT_STREQ(h.spellCode, "AB") << "the code reads as text up to its zero byte";
    EXPECT_EQ(h.spellCode[4], '\0');
    EXPECT_EQ(h.spellPath, 0x0102);
    EXPECT_EQ(h.spellCost, 0xFFFE);
    EXPECT_EQ(written(file("again.gz"), h), spell_bytes());
}

TEST_F(ActionHeader, FourLetterNameReadsBackTerminatedWithOtherTextsEmpty) {
    Header h;
    set_texts(h, {"Bolt", "", "", "", ""});
    Bytes expected = concat(zeros(24), bytes_of("Bolt"));
    expected[4] = 4;
    ASSERT_EQ(written_header(h), expected);

    Header back;
    Stream in(file("header.gz"), 0);
    ASSERT_EQ(back.read(in), 0);
    EXPECT_EQ(texts_of(back), Texts({"Bolt", "", "", "", ""}))
        << "empty texts are present, not absent";
    EXPECT_TRUE(texts_valid(back));
}

TEST_F(ActionHeader, LengthShorterThanTextWritesOnlyThatManyBytes) {
    Header h;
    set_texts(h, {"abcdefghij", "", "", "", ""});
    h.nameLen = 3;
    Bytes expected = concat(zeros(24), bytes_of("abc"));
    expected[4] = 3;
    ASSERT_EQ(written_header(h), expected);

    Header back;
    Stream in(file("header.gz"), 0);
    ASSERT_EQ(back.read(in), 0);
    EXPECT_EQ(texts_of(back)[0], "abc");
}

// A length field may promise more than the text holds, or the text may be absent: the
// write never reads past the buffer and makes up the rest with zero bytes.
TEST_F(ActionHeader, TextShorterThanItsLengthIsPaddedWithZeroBytes) {
    struct Case {
        std::optional<std::string> text;
        std::uint8_t length;
        Bytes bytes;
    };
    const Case cases[] = {
        {"ab", 5, {'a', 'b', 0, 0, 0}},
        {std::string("a\0b", 3), 6, {'a', 0, 'b', 0, 0, 0}},
        {"", 2, {0, 0}},
        {std::nullopt, 4, {0, 0, 0, 0}},
        {std::nullopt, 255, zeros(255)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text ? "text \"" + *c.text + "\"" : "absent text");
        SCOPED_TRACE("length " + std::to_string(c.length));
        Header h;
        if (c.text) {
            ASSERT_TRUE(qn4t::replace_text(h.bar, c.text->data(), c.text->size()));
        }
        h.barLen = c.length;
        Bytes expected = concat(zeros(24), c.bytes);
        expected[23] = c.length;
        EXPECT_EQ(written_header(h), expected);
    }
}

TEST_F(ActionHeader, TypeThreeHasNoTrailerAndTheNextRecordFollowsTheTexts) {
    Header h;
    h.actionType = 3;
    set_texts(h, {"ab", "", "", "", "c"});
    qn4tGeneric_Damage_Details damage;
    fill_pattern(damage);
    const Bytes bytes = written_by(file("two.gz"), [&](gzFile out) {
        h.write(out);
        damage.write(out);
    });
    EXPECT_EQ(bytes.size(), 24u + 3u + 24u);

    Stream in(file("two.gz"), 0);
    Header back;
    qn4tGeneric_Damage_Details damage_back;
    ASSERT_EQ(back.read(in), 0);
    ASSERT_EQ(damage_back.read(in), 0);
    EXPECT_TRUE(same_fields(damage_back, damage));
    EXPECT_EQ(damage_back.read(in), -1);
}

TEST_F(ActionHeader, NonSpellReadKeepsTheSpellFieldsOfTheSpellBefore) {
    Header spell, other;
    make_spell(spell);
    other.actionType = 1;
    std::memcpy(other.spellCode, "QQQQ", 4);  // not written: type 1 has no trailer
    other.spellPath = 99;
    written_by(file("two.gz"), [&](gzFile out) {
        spell.write(out);
        other.write(out);
    });

    Stream in(file("two.gz"), 0);
    Header h;
    ASSERT_EQ(h.read(in), 0);
    ASSERT_EQ(h.read(in), 0);
    EXPECT_EQ(h.actionType, 1);
    EXPECT_EQ(Bytes(h.spellCode, h.spellCode + 5), Bytes({'A', 'B', 0, 'C', 0}));
    EXPECT_EQ(h.spellPath, 0x0102);
    EXPECT_EQ(h.spellCost, 0xFFFE);
}

// A header that already holds texts and other spell fields, to see what a read replaces.
void fill_old(Header &h) {
    fill_pattern(h, 40);
    set_texts(h, {"old name", "old desc", "b", "f", "r"});
}

TEST_F(ActionHeader, StreamEndingInsideTheHeadLeavesTextsUntouched) {
    const Bytes bytes = spell_bytes();
    for (std::size_t cut = 0; cut < 24; ++cut) {
        SCOPED_TRACE("stream of " + std::to_string(cut) + " bytes");
        write_gz(file("cut.gz"), Bytes(bytes.begin(), bytes.begin() + cut));
        Header h, before;
        fill_old(h);
        fill_old(before);
        const char *name = h.name;
        Stream in(file("cut.gz"), 0);
        EXPECT_EQ(h.read(in), -1);
        EXPECT_TRUE(same_fields(h, before));
        EXPECT_EQ(h.name, name);
        EXPECT_EQ(texts_of(h), texts_of(before));
    }
}

// Head fields take the new values, the texts are empty but valid (our choice: bytes that
// did arrive are dropped), and the spell fields keep their old values.
TEST_F(ActionHeader, StreamEndingInsideTheVariablePartUpdatesHeadAndEmptiesTexts) {
    const Bytes bytes = spell_bytes();
    Header complete;
    make_spell(complete);
    for (std::size_t cut = 24; cut < bytes.size(); ++cut) {
        SCOPED_TRACE("stream of " + std::to_string(cut) + " bytes");
        write_gz(file("cut.gz"), Bytes(bytes.begin(), bytes.begin() + cut));
        Header h, before;
        fill_old(h);
        fill_old(before);
        Stream in(file("cut.gz"), 0);
        EXPECT_EQ(h.read(in), -1);

        qn4t::for_each_field(HeaderLayout::head, [&](const auto &f) {
            EXPECT_EQ(h.*(f.member), complete.*(f.member)) << f.name;
        });
        EXPECT_EQ(texts_of(h), Texts({"", "", "", "", ""}));
        EXPECT_TRUE(texts_valid(h));
        EXPECT_EQ(Bytes(h.spellCode, h.spellCode + 5),
                  Bytes(before.spellCode, before.spellCode + 5));
        EXPECT_EQ(h.spellPath, before.spellPath);
        EXPECT_EQ(h.spellCost, before.spellCost);
    }
}

// A text long enough that the scratch buffer comes from the heap as well.
Texts big_texts() { return {std::string(3000, 'n'), "d", std::string(200, 'b'), "", "r"}; }

// Allocation n + 1 fails, for n = 0, 1, ... until the read succeeds. Each failed read
// returns -1 with valid texts and the old spell fields; ownership is checked by the
// sanitizer and valgrind runs.
TEST_F(ActionHeader, ReadThatRunsOutOfMemoryFailsCleanly) {
    for (const Texts &texts : {Texts{"a", "", "bb", "", "c"}, big_texts()}) {
        SCOPED_TRACE("name of " + std::to_string(texts[0].size()) + " bytes");
        Header source;
        make_spell(source);
        set_texts(source, texts);
        written(file("source.gz"), source);

        bool succeeded = false;
        for (long n = 0; n < 64 && !succeeded; ++n) {
            SCOPED_TRACE("allocations allowed: " + std::to_string(n));
            Header h;
            fill_old(h);
            const Bytes old_code(h.spellCode, h.spellCode + 5);
            Stream in(file("source.gz"), 0);
            qn4t::fail_allocations_after(n);
            const int status = h.read(in);
            qn4t::fail_allocations_after(-1);

            EXPECT_TRUE(texts_valid(h));
            if (status == 0) {
                succeeded = true;
                EXPECT_GT(n, 0) << "a read that allocates nothing cannot test this";
                EXPECT_EQ(texts_of(h), texts);
                EXPECT_TRUE(same_fields(h, source));
            } else {
                EXPECT_EQ(status, -1);
                EXPECT_EQ(Bytes(h.spellCode, h.spellCode + 5), old_code);
            }
        }
        EXPECT_TRUE(succeeded);
    }
}

// A write either puts the whole record into the file or nothing at all.
TEST_F(ActionHeader, WriteThatRunsOutOfMemoryWritesNothing) {
    for (const Texts &texts : {Texts{"a", "", "bb", "", "c"}, big_texts()}) {
        SCOPED_TRACE("name of " + std::to_string(texts[0].size()) + " bytes");
        Header h;
        make_spell(h);
        set_texts(h, texts);
        const Bytes full = written(file("full.gz"), h);

        bool succeeded = false;
        for (long n = 0; n < 64 && !succeeded; ++n) {
            SCOPED_TRACE("allocations allowed: " + std::to_string(n));
            const Bytes bytes = written_by(file("header.gz"), [&](gzFile out) {
                qn4t::fail_allocations_after(n);
                EXPECT_EQ(h.write(out), 0);
                qn4t::fail_allocations_after(-1);
            });
            succeeded = bytes == full;
            if (!succeeded) {
                EXPECT_EQ(bytes, Bytes{}) << "a partial record was written";
            }
        }
        EXPECT_TRUE(succeeded);
    }
}

TEST(Text, ReplaceThatRunsOutOfMemoryKeepsTheOldText) {
    char *slot = qn4t::make_text("old", 3);
    ASSERT_NE(slot, nullptr);
    char *const old = slot;
    qn4t::fail_allocations_after(0);
    EXPECT_FALSE(qn4t::replace_text(slot, "new", 3));
    EXPECT_EQ(qn4t::make_text("x", 1), nullptr);
    qn4t::fail_allocations_after(-1);
    EXPECT_EQ(slot, old);
    EXPECT_STREQ(slot, "old");
    EXPECT_EQ(qn4t::text_size(slot), 3u);
    qn4t::release_text(slot);
}

}  // namespace
}  // namespace qn4t_test
