// Pointer strings from the native side: the hex codec, the data-string length limit,
// checked conversion with and without a raised error, and shadow-class objects.
#include "embedded_python.h"  // first: the interpreter's headers must precede the system's

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "binding/live_references.h"
#include "binding/pointer_string.h"
#include "binding/type_registry.h"

namespace qn4t_test {
namespace {

using qn4t::ConvertPointer;
using qn4t::DecodeHex;
using qn4t::EncodeHex;
using qn4t::kPointerBytes;
using qn4t::kPointerDigits;
using qn4t::NewDataString;
using qn4t::NewPointerObject;
using qn4t::TypeDescriptor;
using qn4t::TypeTable;

// ---- EncodeHex / DecodeHex ----

TEST(EncodeHex, WritesLowerCaseDigitsHighNibbleFirstWithoutTerminator) {
    const unsigned char bytes[] = {0x00, 0x0f, 0xa5, 0xff, 0x9c};
    char out[16];
    std::memset(out, '#', sizeof out);
    char *end = EncodeHex(out, bytes, sizeof bytes);
    EXPECT_EQ(end, out + 10);
    EXPECT_EQ(std::string(out, 10), "000fa5ff9c");
    EXPECT_EQ(out[10], '#');  // nothing written behind the digits
}

TEST(EncodeHex, PointerIsWrittenInMemoryOrder) {
    const void *pointer = reinterpret_cast<const void *>(std::uintptr_t{0x00A1B2C3});
    EXPECT_EQ(Spelled(pointer, "_p_x"), "_c3b2a10000000000_p_x");
}

struct DecodeCase {
    const char *text;
    std::vector<unsigned char> bytes;
    const char *why;
};

class DecodeHexCases : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeHexCases, DecodesAndConsumesTwoCharactersPerByte) {
    const DecodeCase &c = GetParam();
    std::vector<unsigned char> out(c.bytes.size(), 0xee);
    const char *end = DecodeHex(c.text, out.data(), out.size());
    EXPECT_EQ(end, c.text + 2 * out.size()) << c.why;
    EXPECT_EQ(out, c.bytes) << c.why;
}

INSTANTIATE_TEST_SUITE_P(
    Characters, DecodeHexCases,
    ::testing::Values(
        DecodeCase{"a10ff5", {0xa1, 0x0f, 0xf5}, "lower-case digits"},
        DecodeCase{"A1", {0x01}, "an upper-case high digit keeps the starting accumulator 0"},
        DecodeCase{"a1B2", {0xa1, 0xa3}, "a bad high digit keeps the previous byte's value, low is OR-ed in"},
        DecodeCase{"c3G0", {0xc3, 0xc3}, "non-hex high digit: previous byte carried over, 0 adds nothing"},
        DecodeCase{"c3ZZ", {0xc3, 0xc3}, "two bad characters repeat the previous byte"},
        DecodeCase{"b0c?", {0xb0, 0xc0}, "a bad low digit adds nothing"},
        DecodeCase{"5aF5", {0x5a, 0x5f}, "the carried byte has the new low digit OR-ed in, not put in place"},
        DecodeCase{"e0 1", {0xe0, 0xe1}, "a space is just another non-hex character"}));

TEST(DecodeHex, RoundTripsWhatEncodeHexWrote) {
    unsigned char bytes[256];
    for (int i = 0; i < 256; ++i) bytes[i] = static_cast<unsigned char>(i);
    char text[512];
    EncodeHex(text, bytes, sizeof bytes);
    unsigned char back[256] = {};
    DecodeHex(text, back, sizeof back);
    EXPECT_EQ(std::memcmp(bytes, back, sizeof bytes), 0);
}

// ---- NewDataString ----

struct DataStringCase {
    TypeDescriptor *type;  // 28 or 29 characters of name
    std::size_t size;
    std::size_t expected_length;  // 0: refused
};

TypeDescriptor header28 = {"_p_qn4tGeneric_Action_Header", nullptr, nullptr, nullptr, nullptr, nullptr};
TypeDescriptor damage29 = {"_p_qn4tGeneric_Damage_Details", nullptr, nullptr, nullptr, nullptr, nullptr};

class NewDataStringLimit : public ::testing::TestWithParam<DataStringCase> {
protected:
    void SetUp() override { Module(); }
};

TEST_P(NewDataStringLimit, AcceptsUpToOneThousandCharacters) {
    const DataStringCase &c = GetParam();
    ASSERT_EQ(std::strlen(header28.name), 28u);
    ASSERT_EQ(std::strlen(damage29.name), 29u);
    std::vector<unsigned char> data(c.size);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
    Ref text(NewDataString(data.data(), data.size(), c.type));
    EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();
    if (!c.expected_length) {
        EXPECT_EQ(text, nullptr);
        return;
    }
    ASSERT_NE(text, nullptr);
    const std::string s = Text(text.get());
    std::string hex(2 * data.size(), '?');
    EncodeHex(&hex[0], data.data(), data.size());
    EXPECT_EQ(s.size(), c.expected_length);
    EXPECT_EQ(s, "_" + hex + c.type->name);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, NewDataStringLimit,
    ::testing::Values(DataStringCase{&header28, 0, 29},     // "_" and the name only
                      DataStringCase{&header28, 485, 999},  // the largest for 28 characters
                      DataStringCase{&header28, 486, 0},    // 1001 characters: refused
                      DataStringCase{&damage29, 485, 1000}, // exactly at the limit
                      DataStringCase{&damage29, 486, 0}));

TEST(NewDataString, SizeWhoseHexLengthOverflowsIsRefused) {
    const unsigned char data[1] = {0};
    for (std::size_t size : {SIZE_MAX, SIZE_MAX / 2 + 1}) {
        EXPECT_EQ(NewDataString(data, size, &header28), nullptr) << size;
        EXPECT_EQ(PyErr_Occurred(), nullptr);
    }
}

// ---- ConvertPointer ----

// One damage record and one action header that the live-reference set knows, plus
// Python spellings of references to them, in a namespace the cases are evaluated in.
class ConvertPointerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Module();
        ASSERT_TRUE(qn4t::live_references().add(&damage_, damage_type()));
        ASSERT_TRUE(qn4t::live_references().add(&header_, header_type()));
        const std::string live = Spelled(&damage_, damage_type()->name);
        const std::string source =
            "live = '" + live + "'\n"
            "as_header = '" + Spelled(&damage_, header_type()->name) + "'\n"
            "header = '" + Spelled(&header_, header_type()->name) + "'\n"
            "dead = '" + Spelled(&dead_, damage_type()->name) + "'\n"
            "class Shadow(object):\n"
            "    def __init__(self, this): self.this = this\n"
            "class Text(str): pass\n"
            "class NoThis(object): pass\n"
            "class Raising(object):\n"
            "    def __getattr__(self, name): raise KeyError(name)\n";
        names_ = Namespace(source.c_str());
        ASSERT_NE(names_, nullptr);
    }
    void TearDown() override {
        qn4t::live_references().remove(&damage_);
        qn4t::live_references().remove(&header_);
        PyErr_Clear();
    }
    static TypeDescriptor *damage_type() { return TypeTable[qn4t::slot_of<qn4tGeneric_Damage_Details>]; }
    static TypeDescriptor *header_type() { return TypeTable[qn4t::slot_of<qn4tGeneric_Action_Header>]; }

    Ref Object(const char *expression) {
        Ref object = Evaluate(names_.get(), expression);
        EXPECT_NE(object, nullptr) << expression << ": " << TakeError();
        return object;
    }

    double damage_ = 0;  // stand-ins: only their addresses matter
    double header_ = 0;
    double dead_ = 0;
    Ref names_;
};

enum class Outcome { kDamageRecord, kNull, kFails };

struct ConvertCase {
    const char *expression;
    Outcome outcome;
};

class ConvertPointerCases : public ConvertPointerTest,
                            public ::testing::WithParamInterface<ConvertCase> {
protected:
    void *Expected() { return GetParam().outcome == Outcome::kDamageRecord ? &damage_ : nullptr; }
};

TEST_P(ConvertPointerCases, WithFlagOneFailureRaisesTheExpectedTypeName) {
    Ref object = Object(GetParam().expression);
    ASSERT_NE(object, nullptr);
    void *pointer = &dead_;
    const int result = ConvertPointer(object.get(), &pointer, damage_type(), qn4t::kRaiseOnMismatch);
    const std::string error = TakeError();
    if (GetParam().outcome == Outcome::kFails) {
        EXPECT_EQ(result, -1);
        EXPECT_EQ(error, "TypeError: Type error. Expected _p_qn4tGeneric_Damage_Details");
        return;
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error, "");
    EXPECT_EQ(pointer, Expected());
}

TEST_P(ConvertPointerCases, WithoutFlagFailureLeavesNoExceptionPending) {
    Ref object = Object(GetParam().expression);
    ASSERT_NE(object, nullptr);
    void *pointer = &dead_;
    const int result = ConvertPointer(object.get(), &pointer, damage_type(), 0);
    EXPECT_EQ(TakeError(), "");
    EXPECT_EQ(result, GetParam().outcome == Outcome::kFails ? -1 : 0);
    if (GetParam().outcome != Outcome::kFails) {
        EXPECT_EQ(pointer, Expected());
    }
}

INSTANTIATE_TEST_SUITE_P(
    References, ConvertPointerCases,
    ::testing::Values(ConvertCase{"None", Outcome::kNull},
                      ConvertCase{"'NULL'", Outcome::kNull},
                      ConvertCase{"Shadow('NULL')", Outcome::kNull},
                      ConvertCase{"live", Outcome::kDamageRecord},
                      ConvertCase{"Shadow(live)", Outcome::kDamageRecord},
                      ConvertCase{"Text(live)", Outcome::kDamageRecord},  // a str subclass is a string
                      ConvertCase{"live + 'x'", Outcome::kFails},         // type name must match exactly
                      ConvertCase{"live[:-1]", Outcome::kFails},
                      ConvertCase{"as_header", Outcome::kFails},          // another record type's name
                      ConvertCase{"dead", Outcome::kFails},               // not a live object
                      ConvertCase{"other_string(live)", Outcome::kFails}, // not a str, has no "this"
                      ConvertCase{"5", Outcome::kFails},
                      ConvertCase{"NoThis()", Outcome::kFails},
                      ConvertCase{"Raising()", Outcome::kFails},          // its KeyError is replaced
                      ConvertCase{"Shadow(5)", Outcome::kFails},          // "this" is not a string
                      ConvertCase{"Shadow(Shadow(live))", Outcome::kFails},
                      ConvertCase{"''", Outcome::kFails},
                      ConvertCase{"'_'", Outcome::kFails},
                      ConvertCase{"live[:16]", Outcome::kFails},          // ends inside the hex part
                      ConvertCase{"'null'", Outcome::kFails},
                      ConvertCase{"'x' + live[1:]", Outcome::kFails}));

TEST_F(ConvertPointerTest, RejectedTextWithoutUnderscoreLeavesNullBehind) {
    Ref object = Object("'abc'");
    void *pointer = &dead_;
    EXPECT_EQ(ConvertPointer(object.get(), &pointer, damage_type(), 0), -1);
    EXPECT_EQ(pointer, nullptr);
}

TEST_F(ConvertPointerTest, WithoutExpectedTypeAnyLiveObjectConvertsAndFailureSaysExpectedAPointer) {
    void *pointer = nullptr;
    Ref live = Object("live");
    EXPECT_EQ(ConvertPointer(live.get(), &pointer, nullptr, qn4t::kRaiseOnMismatch), 0);
    EXPECT_EQ(pointer, &damage_);
    Ref renamed = Object("as_header");  // the name is not looked at without a type
    EXPECT_EQ(ConvertPointer(renamed.get(), &pointer, nullptr, qn4t::kRaiseOnMismatch), 0);
    EXPECT_EQ(pointer, &damage_);

    for (const char *bad : {"5", "dead", "'_'"}) {
        Ref object = Object(bad);
        EXPECT_EQ(ConvertPointer(object.get(), &pointer, nullptr, qn4t::kRaiseOnMismatch), -1) << bad;
        EXPECT_EQ(TakeError(), "TypeError: Expected a pointer") << bad;
        EXPECT_EQ(ConvertPointer(object.get(), &pointer, nullptr, 0), -1) << bad;
        EXPECT_EQ(TakeError(), "") << bad;
    }
}

TEST_F(ConvertPointerTest, DocumentedExampleDecodesLeastSignificantByteFirst) {
    void *const address = reinterpret_cast<void *>(std::uintptr_t{0x00A1B2C3});
    ASSERT_TRUE(qn4t::live_references().add(address, header_type()));  // never dereferenced
    Ref text(text_from("_c3b2a10000000000_p_qn4tGeneric_Action_Header"));
    void *pointer = nullptr;
    EXPECT_EQ(ConvertPointer(text.get(), &pointer, header_type(), qn4t::kRaiseOnMismatch), 0);
    EXPECT_EQ(pointer, address);
    EXPECT_EQ(ConvertPointer(text.get(), &pointer, damage_type(), qn4t::kRaiseOnMismatch), -1);
    EXPECT_EQ(TakeError(), "TypeError: Type error. Expected _p_qn4tGeneric_Damage_Details");
    qn4t::live_references().remove(address);
}

TEST_F(ConvertPointerTest, LiveObjectOfAnotherTypeIsRefusedEvenUnderTheRightName) {
    // The header's address spelled as a damage record: the name matches, the object does not.
    Ref forged = Object("header.replace('_p_qn4tGeneric_Action_Header', '_p_qn4tGeneric_Damage_Details')");
    void *pointer = nullptr;
    EXPECT_EQ(ConvertPointer(forged.get(), &pointer, damage_type(), qn4t::kRaiseOnMismatch), -1);
    EXPECT_EQ(TakeError(), "TypeError: Type error. Expected _p_qn4tGeneric_Damage_Details");
}

// ---- NewPointerObject ----

// A type of the test's own, so that shadow classes set here reach no module type.
class NewPointerObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        Module();
        names_ = Namespace(
            "class Recorder(object):\n"
            "    def __init__(self, this): self.this = this\n"
            "class Refusing(object):\n"
            "    __slots__ = ('this',)\n"
            "    def __init__(self, this): self.this = this\n"
            "class Failing(object):\n"
            "    def __init__(self, this): raise ValueError('no')\n");
        ASSERT_NE(names_, nullptr);
    }
    void TearDown() override { type_.client_data = nullptr; }

    void Register(const char *class_name) {
        type_.client_data = PyDict_GetItemString(names_.get(), class_name);  // borrowed: names_ holds it
        ASSERT_NE(type_.client_data, nullptr);
    }
    std::string Expected() const { return Spelled(&record_, type_.name); }

    TypeDescriptor type_ = {"_p_TestRecord", nullptr, "TestRecord *", nullptr, nullptr, nullptr};
    int record_ = 0;
    Ref names_;
};

TEST_F(NewPointerObjectTest, NullIsNoneWhateverTheClassAndOwnFlag) {
    for (const char *shadow : {"", "Recorder", "Failing"}) {
        if (*shadow) Register(shadow);
        for (int own : {0, 1}) {
            Ref object(NewPointerObject(nullptr, &type_, own));
            EXPECT_EQ(object.get(), Py_None) << shadow << own;
        }
    }
    EXPECT_EQ(TakeError(), "");
}

TEST_F(NewPointerObjectTest, WithoutClientDataGivesThePointerStringEvenWhenOwned) {
    for (int own : {0, 1}) {
        Ref object(NewPointerObject(&record_, &type_, own));
        EXPECT_EQ(Text(object.get()), Expected());
        EXPECT_EQ(Text(object.get()).size(), 1 + kPointerDigits + std::strlen(type_.name));
    }
}

TEST_F(NewPointerObjectTest, ClassIsCalledWithTheStringAndOwnSetsThisown) {
    Register("Recorder");
    Ref owned(NewPointerObject(&record_, &type_, 1));
    ASSERT_NE(owned, nullptr) << TakeError();
    Ref borrowed(NewPointerObject(&record_, &type_, 0));
    ASSERT_NE(borrowed, nullptr) << TakeError();
    for (PyObject *instance : {owned.get(), borrowed.get()}) {
        EXPECT_EQ(PyObject_IsInstance(instance, type_.client_data), 1);
        Ref this_value(PyObject_GetAttrString(instance, "this"));
        EXPECT_EQ(Text(this_value.get()), Expected());
    }
    Ref thisown(PyObject_GetAttrString(owned.get(), "thisown"));
    ASSERT_NE(thisown, nullptr);
    EXPECT_TRUE(IsInt(thisown.get()));
    EXPECT_EQ(long_of(thisown.get()), 1);
    EXPECT_EQ(PyObject_HasAttrString(borrowed.get(), "thisown"), 0);  // own 0 leaves it unset
}

TEST_F(NewPointerObjectTest, FailingClassGivesThePlainStringAndNoPendingException) {
    Register("Failing");
    Ref object(NewPointerObject(&record_, &type_, 1));
    EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();
    EXPECT_EQ(Text(object.get()), Expected());
}

TEST_F(NewPointerObjectTest, InstanceRefusingThisownIsStillReturnedWithoutPendingException) {
    Register("Refusing");
    Ref object(NewPointerObject(&record_, &type_, 1));
    EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(PyObject_IsInstance(object.get(), type_.client_data), 1);
    Ref this_value(PyObject_GetAttrString(object.get(), "this"));
    EXPECT_EQ(Text(this_value.get()), Expected());
}

TEST_F(NewPointerObjectTest, PointerStringConvertsBackToTheSameLiveObject) {
    ASSERT_TRUE(qn4t::live_references().add(&record_, &type_));
    Ref object(NewPointerObject(&record_, &type_, 0));
    void *pointer = nullptr;
    EXPECT_EQ(ConvertPointer(object.get(), &pointer, nullptr, qn4t::kRaiseOnMismatch), 0) << TakeError();
    EXPECT_EQ(pointer, &record_);
    qn4t::live_references().remove(&record_);
}

}  // namespace
}  // namespace qn4t_test
