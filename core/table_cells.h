// The cells of a row of the tables actions, details and stats, what rows are given to, and a
// row as CSV text. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qn4t {

constexpr std::size_t kTableCount = 3;  // actions, details, stats: each keyed by one more number

// One cell: no value, a whole number, a text shown as its bytes, or bytes shown in hex digits.
struct Cell {
    enum class Kind : std::uint8_t { empty, integer, text, hex };
    Kind kind = Kind::empty;
    long long number = 0;
    std::string_view bytes;
};

// What the rows are given to: one call per row of table `table` (0 to 2), with its keys
// (table + 1 numbers) and one cell per value column of the table, in the columns' order.
class RowSink {
public:
    virtual ~RowSink() = default;
    virtual void row(std::size_t table, const std::uint64_t *keys, const Cell *cells) = 0;
};

// Appends one CSV row (cells separated by commas, ended by "\n") as Python's csv.writer
// writes it with lineterminator "\n": a cell holding a comma, a quote or a line feed goes
// in quotes, its quotes doubled; keys first.
void append_csv_row(std::string &out, const std::uint64_t *keys, std::size_t key_count,
                    const Cell *cells, std::size_t count);

// The bytes as lowercase hex digits, two per byte.
void append_hex(std::string &out, std::string_view bytes);

}  // namespace qn4t
