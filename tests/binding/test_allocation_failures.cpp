// Allocation-failure injection at the Python boundary: every allocation of the open, the
// constructors, the text setters and the action header's read and write is made to fail
// in turn (qn4t::fail_allocations_after), and each call must give its described outcome:
// None from the open and the constructors, MemoryError with the old text kept from a text
// setter, -1 with sound texts from a read; a write needs no memory at all. Nothing may leak:
// the blocks the module itself has allocated (qn4t::blocks_in_use) and the records and stream
// cells living in its arena are counted around every failing call. The process heap would
// not do: the interpreter moves it too, differently in each build type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wregister"
#include <Python.h>
#pragma GCC diagnostic pop
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "binding/live_references.h"
#include "interface/module_start.h"
#include "binding/pointer_string.h"
#include "binding/type_registry.h"
#include "core/address_arena.h"
#include "core/memory.h"
#include "core/records.h"
#include "core/text.h"
#include "interface/stream_interface.h"

namespace {

constexpr char kModule[] = "_qn4tGenericActionLoader";
const char *const kRecordTypes[] = {
    "qn4tGeneric_Action_Header",   "qn4tGeneric_Action_Detail_Header", "qn4tGeneric_Damage_Details",
    "qn4tGeneric_Healing_Details", "qn4tGeneric_StatMod_Details",      "qn4tGeneric_StatMod_Stat_Details"};

// The action header's text fields, by name, from its field table.
std::vector<std::string> text_fields() {
    std::vector<std::string> names;
    qn4t::for_each_field(qn4t::HeaderLayout::texts, [&](const auto &t) { names.emplace_back(t.name); });
    return names;
}

// Switches injected failures off again however a check leaves the scope.
struct FailAfter {
    explicit FailAfter(long successes) { qn4t::fail_allocations_after(successes); }
    ~FailAfter() { qn4t::fail_allocations_after(-1); }
};

// Runs `operation` with every allocation through the module's allocator after the first
// `successes` failing (none failing when negative); returns the allocations it made.
long with_failures_after(long successes, const std::function<void()> &operation) {
    qn4t::fail_allocations_after(successes);
    operation();
    return qn4t::fail_allocations_after(-1);
}

// The number of allocations `operation` makes through the module's allocator.
long allocations_of(const std::function<void()> &operation) {
    return with_failures_after(-1, operation);
}

class AllocationFailures : public ::testing::Test {
protected:
    // The interpreter with the module built in; another suite may have started it first.
    static void SetUpTestSuite() {
        if (!Py_IsInitialized()) {
            PyImport_AppendInittab(const_cast<char *>(kModule), init_qn4tGenericActionLoader);
            Py_InitializeEx(0);
        }
        module_ = PyImport_ImportModule(kModule);
        if (!module_) {
            PyErr_Clear();
            init_qn4tGenericActionLoader();
            module_ = PyImport_AddModule(kModule);
            Py_XINCREF(module_);
        }
    }

    void SetUp() override {
        ASSERT_NE(module_, nullptr);
        char pattern[] = "/tmp/qn4t-allocation-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        live_before_ = qn4t::live_references().size();
    }

    void TearDown() override {
        qn4t::fail_allocations_after(-1);
        // The module keeps every stream cell for the life of the process, reachable from
        // its live-reference table; the leak check at exit (scripts/hardening.sh) holds
        // it to that for the cells left here.
        for (PyObject *stream : streams_) {
            Release(Call("qn4tGenericClose", "(O)", stream));
            Py_DECREF(stream);
        }
        std::string command = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
        EXPECT_EQ(qn4t::live_references().size(), live_before_ + streams_.size())
            << "records stayed live";
    }

    // Calls a module function; a new reference, or null with the exception pending.
    template <class... A>
    static PyObject *Call(const std::string &function, const char *format, A... arguments) {
        return PyObject_CallMethod(module_, const_cast<char *>(function.c_str()),
                                   const_cast<char *>(format), arguments...);
    }

    static void Release(PyObject *object) {
        if (!object) PyErr_Clear();
        Py_XDECREF(object);
    }

    // The name of the pending exception, which is cleared; "" when none.
    static std::string TakeError() {
        if (!PyErr_Occurred()) return "";
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        std::string name = reinterpret_cast<PyTypeObject *>(type)->tp_name;
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return name;
    }

    std::string File(const char *name) const { return dir_ + "/" + name; }

    // A stream opened through the module; closed when the test ends.
    PyObject *Open(const std::string &path, int write_flag) {
        PyObject *stream = Call("qn4tGenericOpen", "(si)", path.c_str(), write_flag);
        EXPECT_TRUE(stream && PyString_Check(stream)) << TakeError();
        if (stream) streams_.push_back(stream);
        return stream;
    }

    static qn4t::StreamCell *Stream(PyObject *stream) {
        void *cell = nullptr;
        EXPECT_EQ(qn4t::ConvertPointer(stream, &cell, qn4t::TypeTable[qn4t::kStreamSlot], 1), 0);
        return static_cast<qn4t::StreamCell *>(cell);
    }

    static PyObject *New(const std::string &type) {
        PyObject *record = Call("new_" + type, "()");
        EXPECT_TRUE(record && PyString_Check(record)) << TakeError();
        return record;
    }

    static void Delete(const std::string &type, PyObject *record) {
        PyObject *result = Call("delete_" + type, "(O)", record);
        EXPECT_EQ(result, Py_None) << TakeError();
        Py_XDECREF(result);
        Py_DECREF(record);
    }

    static qn4tGeneric_Action_Header *Native(PyObject *header) {
        void *pointer = nullptr;
        qn4t::TypeDescriptor *type = qn4t::TypeTable[qn4t::slot_of<qn4tGeneric_Action_Header>];
        EXPECT_EQ(qn4t::ConvertPointer(header, &pointer, type, 1), 0);
        return static_cast<qn4tGeneric_Action_Header *>(pointer);
    }

    // A header with texts of the given sizes (each of one repeated letter) and a spell trailer.
    static PyObject *Header(std::size_t text_size) {
        PyObject *header = New("qn4tGeneric_Action_Header");
        qn4tGeneric_Action_Header *h = Native(header);
        char letter = 'a';
        qn4t::for_each_field(qn4t::HeaderLayout::texts, [&](const auto &t) {
            // blah, foo and bar have 8-bit lengths
            const std::size_t size = std::min<std::size_t>(text_size, sizeof(h->*(t.length)) == 1 ? 255 : 65535);
            const std::string text(size, letter++);
            qn4t::replace_text(h->*(t.member), text.data(), text.size());
            h->*(t.length) = static_cast<std::remove_reference_t<decltype(h->*(t.length))>>(size);
        });
        h->actionType = qn4tGeneric_Action_Header::kSpellType;
        std::memcpy(h->spellCode, "ABCD", 5);
        return header;
    }

    // Runs `step` (which must undo everything it makes, and checks its own outcome) once to
    // settle what it replaces (a failed read leaves the header without its old texts), then
    // requires that a second run leaves the module holding as many blocks, records and stream
    // cells as before it.
    static void ExpectNoLeak(const std::function<void()> &step, const std::string &what) {
        SCOPED_TRACE(what);
        step();
        const std::size_t blocks = qn4t::blocks_in_use();
        const std::size_t handed_out = qn4t::handout_arena().live_blocks();
        step();
        EXPECT_EQ(qn4t::blocks_in_use(), blocks) << what << " leaked";
        EXPECT_EQ(qn4t::handout_arena().live_blocks(), handed_out) << what << " left records or cells";
    }

    static PyObject *module_;
    std::string dir_;
    std::vector<PyObject *> streams_;
    std::size_t live_before_ = 0;
};

PyObject *AllocationFailures::module_ = nullptr;

// Fills the live-reference set with placeholder entries (typed as the char pointer type,
// which no wrapper names) until the next entry makes the set grow its table, so that a
// sweep also meets the allocation of the bigger table. Failing calls never grow it, so
// one crowd serves a whole sweep; the placeholders are removed again at the end.
class CrowdedLiveSet {
public:
    CrowdedLiveSet() {
        auto &set = qn4t::live_references();
        // An add that allocates has just doubled the table, at a load of 3/4 plus one.
        std::size_t grew_at = 0;
        while (!grew_at && used_ < sizeof placeholders_) {
            qn4t::fail_allocations_after(-1);
            if (!Add()) return;
            if (qn4t::fail_allocations_after(-1) > 0) grew_at = set.size();
        }
        if (!grew_at) return;
        const std::size_t capacity = 2 * ((grew_at - 1) * 4 / 3);
        while ((set.size() + 1) * 4 <= capacity * 3)
            if (!Add()) return;
        ok_ = true;
    }
    ~CrowdedLiveSet() {
        for (std::size_t i = 0; i < used_; ++i) qn4t::live_references().remove(&placeholders_[i]);
    }
    bool ok() const { return ok_; }

private:
    bool Add() {
        if (used_ == sizeof placeholders_) return false;
        return qn4t::live_references().add(&placeholders_[used_++], qn4t::TypeTable[qn4t::kCharSlot]);
    }
    static char placeholders_[1 << 14];
    std::size_t used_ = 0;
    bool ok_ = false;
};
char CrowdedLiveSet::placeholders_[1 << 14];

// ---- Open and constructors: None, no exception, nothing left behind ----

TEST_F(AllocationFailures, OpenGivesNoneAndLeavesTheFileUntouched) {
    const std::string path = File("kept.gz");
    {
        std::FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("old content", f);
        std::fclose(f);
    }
    auto open_for_writing = [&](const std::string &where) {
        return Call("qn4tGenericOpen", "(si)", where.c_str(), 1);
    };
    auto expect_none_and_file_kept = [&](long n) {
        {
            FailAfter failing(n);
            PyObject *result = open_for_writing(path);
            EXPECT_EQ(result, Py_None);
            EXPECT_EQ(TakeError(), "");
            Py_XDECREF(result);
        }
        std::FILE *f = std::fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        char content[32] = {};
        EXPECT_STREQ(std::fgets(content, sizeof content, f), "old content");
        std::fclose(f);
    };
    Open(File("first.gz"), 1);  // the live-reference table exists from here on
    PyObject *opened = nullptr;
    const long made = allocations_of([&] { opened = open_for_writing(File("measured.gz")); });
    ASSERT_TRUE(opened && PyString_Check(opened));
    streams_.push_back(opened);
    ASSERT_GT(made, 0);

    for (long n = 0; n < made; ++n)
        ExpectNoLeak([&] { expect_none_and_file_kept(n); }, "allocation " + std::to_string(n));
    CrowdedLiveSet crowd;
    ASSERT_TRUE(crowd.ok());
    for (long n = 0; n <= made; ++n)  // one more: the table's growth
        ExpectNoLeak([&] { expect_none_and_file_kept(n); },
                     "allocation " + std::to_string(n) + " in a crowded table");
    PyObject *grown = nullptr;
    EXPECT_EQ(allocations_of([&] { grown = open_for_writing(File("grown.gz")); }), made + 1)
        << "the crowded table did not grow at this open";
    if (grown) streams_.push_back(grown);
}

TEST_F(AllocationFailures, ConstructorsGiveNone) {
    auto expect_none = [&](const std::string &type, long n) {
        FailAfter failing(n);
        PyObject *result = Call("new_" + type, "()");
        EXPECT_EQ(result, Py_None);
        EXPECT_EQ(TakeError(), "");
        Py_XDECREF(result);
    };
    Delete(kRecordTypes[0], New(kRecordTypes[0]));  // the live-reference table exists
    std::vector<long> made;
    for (const std::string type : kRecordTypes) {
        SCOPED_TRACE(type);
        made.push_back(allocations_of([&] { Delete(type, New(type)); }));
        ASSERT_GT(made.back(), 0);
        for (long n = 0; n < made.back(); ++n)
            ExpectNoLeak([&] { expect_none(type, n); }, "allocation " + std::to_string(n));
    }
    CrowdedLiveSet crowd;
    ASSERT_TRUE(crowd.ok());
    for (std::size_t t = 0; t < made.size(); ++t) {
        SCOPED_TRACE(std::string(kRecordTypes[t]) + " in a crowded table");
        for (long n = 0; n <= made[t]; ++n)  // one more: the table's growth
            ExpectNoLeak([&] { expect_none(kRecordTypes[t], n); }, "allocation " + std::to_string(n));
    }
    PyObject *grown = nullptr;
    EXPECT_EQ(allocations_of([&] { grown = New(kRecordTypes[0]); }), made[0] + 1)
        << "the crowded table did not grow at this constructor";
    if (grown) Delete(kRecordTypes[0], grown);
}

// ---- Text setters: MemoryError, the old text kept ----

TEST_F(AllocationFailures, TextSettersRaiseMemoryErrorAndKeepTheOldText) {
    const std::string type = "qn4tGeneric_Action_Header";
    PyObject *header = New(type);
    for (const std::string &field : text_fields()) {
        SCOPED_TRACE(field);
        const std::string setter = type + "_" + field + "_set";
        const std::string getter = type + "_" + field + "_get";
        Release(Call(setter, "(Os)", header, "old"));
        const long made = allocations_of([&] { Release(Call(setter, "(Os)", header, "old")); });
        ASSERT_GT(made, 0);
        const std::string longer(4000, 'x');
        auto expect_memory_error = [&](long n) {
            {
                FailAfter failing(n);
                PyObject *result = Call(setter, "(Os)", header, longer.c_str());
                EXPECT_EQ(result, nullptr);
                EXPECT_EQ(TakeError(), "exceptions.MemoryError");
                Py_XDECREF(result);
            }
            PyObject *kept = Call(getter, "(O)", header);
            ASSERT_TRUE(kept && PyString_Check(kept)) << TakeError();
            EXPECT_STREQ(PyString_AsString(kept), "old");
            Py_DECREF(kept);
        };
        for (long n = 0; n < made; ++n)
            ExpectNoLeak([&] { expect_memory_error(n); }, "allocation " + std::to_string(n));
    }
    Delete(type, header);
}

// ---- The action header's read and write ----

// Texts of these sizes keep the record in the stack buffer, or need one from the heap.
const std::size_t kTextSizes[] = {3, 700};

TEST_F(AllocationFailures, HeaderReadGivesMinusOneWithSoundTexts) {
    const std::string type = "qn4tGeneric_Action_Header";
    for (std::size_t text_size : kTextSizes) {
        SCOPED_TRACE("texts of " + std::to_string(text_size) + " bytes");
        const std::string path = File("header.gz");
        PyObject *source = Header(text_size);
        PyObject *out = Open(path, 1);
        Release(Call(type + "_write", "(OO)", source, out));
        Release(Call("qn4tGenericClose", "(O)", out));
        Delete(type, source);

        PyObject *in = Open(path, 0);
        gzFile handle = Stream(in)->handle;
        PyObject *header = Header(2);  // old texts, replaced by the read
        auto read_from_start = [&] {
            gzrewind(handle);
            return Call(type + "_read", "(OO)", header, in);
        };
        const long made = allocations_of([&] { Release(read_from_start()); });
        ASSERT_GT(made, 0);
        auto expect_minus_one = [&](long n) {
            PyObject *result = nullptr;
            with_failures_after(n, [&] { result = read_from_start(); });
            ASSERT_TRUE(result && PyInt_Check(result)) << TakeError();
            EXPECT_EQ(PyInt_AsLong(result), -1);
            Py_DECREF(result);
            // Every text is absent or a terminated buffer that its getter can read.
            const qn4tGeneric_Action_Header *h = Native(header);
            qn4t::for_each_field(qn4t::HeaderLayout::texts, [&](const auto &t) {
                const char *text = h->*(t.member);
                if (text) {
                    EXPECT_EQ(text[qn4t::text_size(text)], '\0');
                }
            });
            for (const std::string &field : text_fields()) {
                PyObject *value = Call(type + "_" + field + "_get", "(O)", header);
                EXPECT_TRUE(value == Py_None || (value && PyString_Check(value))) << TakeError();
                Py_XDECREF(value);
            }
        };
        for (long n = 0; n < made; ++n)
            ExpectNoLeak([&] { expect_minus_one(n); }, "allocation " + std::to_string(n));
        Delete(type, header);
    }
}

// The write gathers the record on the stack: no allocation can fail it.
TEST_F(AllocationFailures, HeaderWriteNeedsNoMemory) {
    const std::string type = "qn4tGeneric_Action_Header";
    for (std::size_t text_size : kTextSizes) {
        SCOPED_TRACE("texts of " + std::to_string(text_size) + " bytes");
        PyObject *header = Header(text_size);
        const std::string path = File("written.gz");
        PyObject *out = Open(path, 1);
        PyObject *result = nullptr;
        EXPECT_EQ(with_failures_after(0, [&] { result = Call(type + "_write", "(OO)", header, out); }),
                  0);
        ASSERT_TRUE(result && PyInt_Check(result)) << TakeError();
        EXPECT_EQ(PyInt_AsLong(result), 0);
        Py_DECREF(result);
        Release(Call("qn4tGenericClose", "(O)", out));

        PyObject *in = Open(path, 0);
        PyObject *copy = New(type);
        Release(Call(type + "_read", "(OO)", copy, in));
        qn4t::for_each_field(qn4t::HeaderLayout::texts, [&](const auto &t) {
            EXPECT_EQ(qn4t::text_size(Native(copy)->*(t.member)), qn4t::text_size(Native(header)->*(t.member)));
        });
        Delete(type, copy);
        Delete(type, header);
    }
}

}  // namespace
