// Shared fixtures of the record core tests: a scratch directory, files of given bytes
// (gzip or plain), the decompressed content of a file, and field access by name through
// the records' own field tables.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/record_stream.h"
#include "core/records.h"

namespace qn4t_test {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory under the system's temp directory, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "qn4t-core-XXXXXX").string();
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    bool ok() const { return !path_.empty(); }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A test fixture owning a scratch directory.
class InTempDir : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.ok()) << "cannot create a scratch directory"; }
    std::string file(const std::string &name) const { return dir.file(name); }
    TempDir dir;
};

// Closes a record stream when the test is done with it (a null handle is accepted).
class Stream {
public:
    explicit Stream(gzFile handle) : handle_(handle) {}
    Stream(const std::string &path, int writeFlag)
        : handle_(qn4tGenericOpen(path.c_str(), writeFlag)) {}
    ~Stream() { close(); }
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    operator gzFile() const { return handle_; }
    void close() {
        qn4tGenericClose(handle_);
        handle_ = nullptr;
    }

private:
    gzFile handle_;
};

inline void write_plain(const std::string &path, const Bytes &bytes) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    if (!bytes.empty()) {
        EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    std::fclose(f);
}

inline Bytes read_plain(const std::string &path) {
    Bytes bytes;
    if (std::FILE *f = std::fopen(path.c_str(), "rb")) {
        for (int c; (c = std::fgetc(f)) != EOF;) bytes.push_back(static_cast<std::uint8_t>(c));
        std::fclose(f);
    }
    return bytes;
}

// Writes `bytes` as one gzip member, independently of the record stream.
inline void write_gz(const std::string &path, const Bytes &bytes) {
    gzFile f = gzopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    if (!bytes.empty()) {
        EXPECT_EQ(gzwrite(f, bytes.data(), static_cast<unsigned>(bytes.size())),
                  static_cast<int>(bytes.size()));
    }
    EXPECT_EQ(gzclose(f), Z_OK);
}

// The whole decompressed content of a gzip file.
inline Bytes read_gz(const std::string &path) {
    Bytes bytes;
    gzFile f = gzopen(path.c_str(), "rb");
    if (!f) {
        ADD_FAILURE() << "cannot open " << path;
        return bytes;
    }
    std::uint8_t chunk[4096];
    for (int n; (n = gzread(f, chunk, sizeof chunk)) > 0;)
        bytes.insert(bytes.end(), chunk, chunk + n);
    EXPECT_EQ(gzclose(f), Z_OK) << "gzip data of " << path << " is not complete";
    return bytes;
}

// What `write_records(stream)` puts into a fresh record stream, decompressed.
template <class Fn>
Bytes written_by(const std::string &path, Fn &&write_records) {
    {
        Stream out(path, 1);
        EXPECT_NE(static_cast<gzFile>(out), nullptr) << path;
        write_records(static_cast<gzFile>(out));
    }
    return read_gz(path);
}

template <class R>
Bytes written(const std::string &path, const R &record) {
    return written_by(path, [&](gzFile out) { EXPECT_EQ(record.write(out), 0); });
}

inline Bytes concat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes zeros(std::size_t n) { return Bytes(n, 0); }

// The integer fields of a record's table, set and compared by their visible names.
template <class Table, class Fn>
void for_each_integer(const Table &table, Fn &&fn) {
    qn4t::for_each_field(table, [&](const auto &f) {
        using Value = typename std::decay_t<decltype(f)>::value;
        if constexpr (std::is_integral_v<Value>) fn(f);
    });
}

template <class R>
const auto &plain_fields() {
    if constexpr (std::is_same_v<R, qn4tGeneric_Action_Header>) {
        static const auto fields =
            std::tuple_cat(qn4t::HeaderLayout::head, qn4t::HeaderLayout::trailer);
        return fields;
    } else {
        return qn4t::Layout<R>::fields;
    }
}

// Sets the integer field `name` to `value` (converted to the field's width); false when the
// record has no such integer field.
template <class R>
bool set_field(R &record, std::string_view name, long long value) {
    bool found = false;
    for_each_integer(plain_fields<R>(), [&](const auto &f) {
        if (f.name != name) return;
        using Value = typename std::decay_t<decltype(f)>::value;
        record.*(f.member) = static_cast<Value>(value);
        found = true;
    });
    return found;
}

template <class R>
long long field_value(const R &record, std::string_view name) {
    long long value = 0;
    bool found = false;
    for_each_integer(plain_fields<R>(), [&](const auto &f) {
        if (f.name != name) return;
        value = record.*(f.member);
        found = true;
    });
    EXPECT_TRUE(found) << "no integer field " << name;
    return value;
}

// Gives every integer field (and the spell code) a distinct value with its top bit set,
// so that a swapped, truncated or sign-mangled field shows.
template <class R>
void fill_pattern(R &record, unsigned seed = 1) {
    unsigned next = seed;
    qn4t::for_each_field(plain_fields<R>(), [&](const auto &f) {
        auto &value = record.*(f.member);
        using Value = std::remove_reference_t<decltype(value)>;
        if constexpr (std::is_integral_v<Value>) {
            std::uint64_t bits = 0;
            for (std::size_t i = 0; i < sizeof(Value); ++i)
                bits |= std::uint64_t(0x80 | (next++ & 0x7f)) << (8 * i);
            value = static_cast<Value>(bits);
        } else {
            for (std::size_t i = 0; i + 1 < sizeof value; ++i)
                value[i] = static_cast<char>(0x80 | (next++ & 0x7f));
        }
    });
    // a spell, so that the trailer travels too
    if constexpr (std::is_same_v<R, qn4tGeneric_Action_Header>) record.actionType = 2;
}

// Every integer field and the spell code of `a` and `b` agree (texts are compared apart).
template <class R>
::testing::AssertionResult same_fields(const R &a, const R &b) {
    std::string differences;
    qn4t::for_each_field(plain_fields<R>(), [&](const auto &f) {
        if (std::memcmp(&(a.*(f.member)), &(b.*(f.member)), sizeof(a.*(f.member))) != 0)
            differences += " " + std::string(f.name);
    });
    if (differences.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "fields differ:" << differences;
}

}  // namespace qn4t_test
