// Whole actions as the rows of three tables (actions, details, stats), cell by cell, walking
// the records' field tables: the rows the tables of the document form hold, made without an
// object per value. Plain C++: the CSV text of the rows and their SQLite database are made
// from these.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/action_file.h"
#include "core/table_cells.h"

namespace qn4t {

// A column of a table: the path of its value in an action's dict form, e.g. {"body", "die"}
// or {"name", "hex"}.
using ColumnPath = std::vector<std::string>;
using TableColumns = std::array<std::vector<ColumnPath>, kTableCount>;

// Where the rows of an action stand: not begun, or inside the stat entries of a detail.
struct RowCursor {
    bool started = false;
    std::size_t detail = 0;  // the detail whose rows come next
    bool in_entries = false; // its detail row is given: its entries go on
    std::size_t entry = 0;
};

// Makes the rows of whole actions for the columns given. Throws std::invalid_argument, naming
// the field, when a value of the records has no column (none is ever dropped quietly) or a
// column names no value.
class RowMaker {
public:
    explicit RowMaker(const TableColumns &columns);

    // Gives `sink` the rows of action number `number` from where `at` stands, stopping between
    // two stat entries once `budget` rows were given; true when the action's rows are all
    // given (`at` is then reset), false to be called again with the same action.
    bool rows(const WholeAction &action, std::uint64_t number, RowCursor &at, RowSink &sink,
              std::size_t budget);

    std::size_t columns(std::size_t table) const { return width_[table]; }

private:
    void action_row(const WholeAction &action, std::uint64_t number, RowSink &sink);
    void detail_row(const WholeDetail &detail, const std::uint64_t *keys, RowSink &sink);

    // Per field of a record, the column of its value (and of its hex form, for a text),
    // found once by the field's name.
    std::array<std::size_t, kTableCount> width_{};
    std::vector<std::size_t> head_, text_, text_hex_, trailer_, trailer_hex_;
    std::vector<std::size_t> detail_header_;
    std::vector<std::vector<std::size_t>> body_;  // per body type, in DetailBodyTypes order
    std::size_t body_hex_ = 0;
    std::vector<std::size_t> entry_;
    std::vector<Cell> cells_;
};

}  // namespace qn4t
