// A row of the tables as CSV text (table_cells.h).
#include "core/table_cells.h"

#include <charconv>

namespace qn4t {
namespace {

void append_number(std::string &out, long long value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void append_unsigned(std::string &out, std::uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void append_text(std::string &out, std::string_view bytes) {
    if (bytes.find_first_of(",\"\n") == std::string_view::npos) {
        out.append(bytes.data(), bytes.size());
        return;
    }
    out += '"';
    for (const char c : bytes) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

}  // namespace

void append_hex(std::string &out, std::string_view bytes) {
    static const char hex[] = "0123456789abcdef";
    for (const char byte : bytes) {
        const unsigned char c = static_cast<unsigned char>(byte);
        out += hex[c >> 4];
        out += hex[c & 0xF];
    }
}


void append_csv_row(std::string &out, const std::uint64_t *keys, std::size_t key_count,
                    const Cell *cells, std::size_t count) {
    for (std::size_t k = 0; k < key_count; ++k) {
        if (k) out += ',';
        append_unsigned(out, keys[k]);
    }
    for (std::size_t k = 0; k < count; ++k) {
        out += ',';
        const Cell &cell = cells[k];
        switch (cell.kind) {
        case Cell::Kind::empty: break;
        case Cell::Kind::integer: append_number(out, cell.number); break;
        case Cell::Kind::text: append_text(out, cell.bytes); break;
        case Cell::Kind::hex: append_hex(out, cell.bytes); break;
        }
    }
    out += '\n';
}

}  // namespace qn4t
