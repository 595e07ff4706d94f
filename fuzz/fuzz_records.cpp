// Any bytes never crash the record readers, a failed read leaves a record sound, and a
// record read successfully writes back exactly the bytes it consumed.
//
// Input: one byte that gives the number of kind selectors (1 to 8), the selectors, then
// the stream. The records are read one after the other, the kind of each chosen by the
// selectors in turn, until a read fails. The stream is the uncompressed content, which is
// compressed into an in-memory gzip file first; built with QN4T_FUZZ_GZIP_INPUT=1 it is a
// whole gzip file instead, so corrupt headers, deflate data and trailers reach the reads.
#include <cstdint>
#include <cstring>
#include <tuple>
#include <utility>

#include "core/codec.h"
#include "core/record_types.h"
#include "core/text.h"
#include "memory_file.h"

#ifndef QN4T_FUZZ_GZIP_INPUT
#define QN4T_FUZZ_GZIP_INPUT 0
#endif

namespace {

using namespace qn4t_fuzz;

using Records = qn4t::Apply<std::tuple, qn4t::RecordTypes>;
constexpr std::size_t kKinds = std::tuple_size_v<Records>;
constexpr std::size_t kMaxRecords = 4096;
constexpr std::size_t kMaxContent = std::size_t{16} << 20;  // what a small input may inflate to

// Every text is either absent or a zero-terminated buffer; after a successful read each
// holds exactly the bytes its length field counts.
void check_texts(const qn4tGeneric_Action_Header &h, bool read_ok) {
    qn4t::for_each_field(qn4t::HeaderLayout::texts, [&](const auto &t) {
        const char *text = h.*(t.member);
        if (!text) {
            if (read_ok) fail("a successful read left a text absent");
            return;
        }
        const std::size_t size = qn4t::text_size(text);
        if (text[size] != '\0') fail("a text buffer is not terminated");
        if (read_ok && size != h.*(t.length)) fail("a text does not hold its length's bytes");
    });
    if (read_ok && h.actionType == qn4tGeneric_Action_Header::kSpellType && h.spellCode[4] != '\0')
        fail("the spell code is not terminated");
}

// The fields of a fixed-size record as the file holds them.
template <class R>
Bytes encoded(const R &record) {
    Bytes out(qn4t::record_wire_size<R>());
    qn4t::encode(record, qn4t::Layout<R>::fields, out.data());
    return out;
}

template <class R>
int read_and_check(R &record, gzFile in) {
    if constexpr (std::is_same_v<R, qn4tGeneric_Action_Header>) {
        const int result = record.read(in);
        check_texts(record, result == 0);
        if (result != 0) record.write(nullptr);  // writing what a failed read left must be safe
        return result;
    } else {
        const Bytes before = encoded(record);
        const int result = record.read(in);
        if (result != 0 && encoded(record) != before) fail("a failed read changed the record");
        return result;
    }
}

template <std::size_t... I>
int read_kind(Records &records, std::size_t kind, gzFile in, std::index_sequence<I...>) {
    int result = -1;
    ((kind == I ? (result = read_and_check(std::get<I>(records), in), 0) : 0), ...);
    return result;
}

template <std::size_t... I>
int write_kind(const Records &records, std::size_t kind, gzFile out, std::index_sequence<I...>) {
    int result = -1;
    ((kind == I ? (result = std::get<I>(records).write(out), 0) : 0), ...);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t selector_count = data[0] % 8 + 1;
    if (size < 1 + selector_count) return 0;
    const std::uint8_t *selectors = data + 1;
    const std::uint8_t *stream = selectors + selector_count;
    const std::size_t stream_size = size - 1 - selector_count;

    static MemoryFile input("qn4t-fuzz-input");
    static MemoryFile output("qn4t-fuzz-output");
    Bytes content;
    bool content_complete = true;
    if (QN4T_FUZZ_GZIP_INPUT) {
        input.assign(stream, stream_size);
        content = input.inflated(kMaxContent, &content_complete);
    } else {
        input.clear();
        gzFile writer = input.open("wb");
        if (stream_size && gzwrite(writer, stream, static_cast<unsigned>(stream_size)) <= 0)
            fail("cannot compress the input");
        gzclose(writer);
        content.assign(stream, stream + stream_size);
    }

    Records records;
    output.clear();
    gzFile in = input.open("rb");
    gzFile out = output.open("wb");
    Bytes consumed;
    constexpr auto kinds = std::make_index_sequence<kKinds>();
    for (std::size_t i = 0; i < kMaxRecords; ++i) {
        const std::size_t kind = selectors[i % selector_count] % kKinds;
        const z_off_t start = gztell(in);
        if (read_kind(records, kind, in, kinds) != 0) break;
        const z_off_t end = gztell(in);
        if (static_cast<std::size_t>(end) > content.size()) {
            // Only an inflate error can make the second pass stop short of the first.
            if (content_complete) fail("a record was read beyond the end of the data");
            break;
        }
        const z_off_t written_before = gztell(out);
        write_kind(records, kind, out, kinds);
        if (gztell(out) - written_before != end - start)
            fail("a record wrote a different number of bytes than it read");
        consumed.insert(consumed.end(), content.begin() + start, content.begin() + end);
    }
    gzclose(in);
    gzclose(out);

    if (output.inflated(kMaxContent) != consumed)
        fail("the records read did not write back the bytes they consumed");
    return 0;
}
