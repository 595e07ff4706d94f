// Whole actions as the rows of the three tables (table_rows.h).
#include "interface/table_rows.h"

#include <map>
#include <stdexcept>
#include <type_traits>

#include "core/text.h"
#include "interface/json_form.h"

namespace qn4t {
namespace {

constexpr std::string_view kHexMember = "hex";  // a text given as its bytes in hex digits

std::string shown(const ColumnPath &path) {
    std::string text;
    for (const std::string &part : path) {
        if (!text.empty()) text += '.';
        text += part;
    }
    return text;
}

// The columns of one table by their paths, each to be claimed by exactly one value.
class ColumnIndex {
public:
    ColumnIndex(const std::vector<ColumnPath> &paths, std::string_view table) : table_(table) {
        for (std::size_t k = 0; k < paths.size(); ++k) at_[paths[k]] = k;
        claimed_.assign(paths.size(), false);
    }

    // The column of the value at `path`; throws when the table has none.
    std::size_t of(ColumnPath path) {
        const auto found = at_.find(path);
        if (found == at_.end())
            throw std::invalid_argument("the table " + std::string(table_) + " has no column for " +
                                        shown(path));
        claimed_[found->second] = true;
        return found->second;
    }

    // Throws when a column was claimed by no value.
    void all_claimed() const {
        for (const auto &[path, k] : at_)
            if (!claimed_[k])
                throw std::invalid_argument("the table " + std::string(table_) + " has a column " +
                                            shown(path) + " that no field fills");
    }

private:
    std::string_view table_;
    std::map<ColumnPath, std::size_t> at_;
    std::vector<bool> claimed_;
};

template <class Table, class Fn>
void each_value_field(const Table &table, Fn &&fn) {
    for_each_field(table, [&](const auto &f) {
        using F = std::decay_t<decltype(f)>;
        if constexpr (std::is_integral_v<typename F::value> && !is_derived_count<F::member>()) fn(f);
    });
}

Cell integer(long long value) {
    Cell cell;
    cell.kind = Cell::Kind::integer;
    cell.number = value;
    return cell;
}

// A text's cell and the column it goes in: its bytes where they are UTF-8 without a zero
// byte; otherwise hex digits of `all` (the bytes as stored) in the hex column.
void place_text(std::vector<Cell> &cells, std::string_view shown_bytes, std::string_view all,
                std::size_t text_column, std::size_t hex_column) {
    Cell cell;
    if (is_utf8(shown_bytes) && shown_bytes.find('\0') == std::string_view::npos) {
        cell.kind = Cell::Kind::text;
        cell.bytes = shown_bytes;
        cells[text_column] = cell;
    } else {
        cell.kind = Cell::Kind::hex;
        cell.bytes = all;
        cells[hex_column] = cell;
    }
}

}  // namespace

RowMaker::RowMaker(const TableColumns &columns) {
    for (std::size_t t = 0; t < kTableCount; ++t) width_[t] = columns[t].size();
    ColumnIndex actions(columns[0], "actions");
    each_value_field(HeaderLayout::head, [&](const auto &f) { head_.push_back(actions.of({std::string(f.name)})); });
    for_each_field(HeaderLayout::texts, [&](const auto &t) {
        text_.push_back(actions.of({std::string(t.name)}));
        text_hex_.push_back(actions.of({std::string(t.name), std::string(kHexMember)}));
    });
    for_each_field(HeaderLayout::trailer, [&](const auto &f) {
        using F = std::decay_t<decltype(f)>;
        trailer_.push_back(actions.of({std::string(f.name)}));
        trailer_hex_.push_back(std::is_array_v<typename F::value>
                                   ? actions.of({std::string(f.name), std::string(kHexMember)})
                                   : 0);
    });
    actions.all_claimed();

    ColumnIndex details(columns[1], "details");
    const std::string header(kHeaderMember), body(kBodyMember);
    for_each_field(DetailHeaderLayout::fields,
                   [&](const auto &f) { detail_header_.push_back(details.of({header, std::string(f.name)})); });
    for_each_body_type([&](auto tag) {
        using R = typename decltype(tag)::type;
        std::vector<std::size_t> at;
        each_value_field(Layout<R>::fields, [&](const auto &f) { at.push_back(details.of({body, std::string(f.name)})); });
        body_.push_back(at);
    });
    body_hex_ = details.of({body, std::string(kHexMember)});
    details.all_claimed();

    ColumnIndex stats(columns[2], "stats");
    each_value_field(Layout<EntryRecord>::fields, [&](const auto &f) { entry_.push_back(stats.of({std::string(f.name)})); });
    stats.all_claimed();
}

void RowMaker::action_row(const WholeAction &a, std::uint64_t number, RowSink &sink) {
    cells_.assign(width_[0], Cell());
    std::size_t n = 0;
    each_value_field(HeaderLayout::head, [&](const auto &f) {
        using F = std::decay_t<decltype(f)>;
        cells_[head_[n++]] = integer(static_cast<long long>(a.head.*(F::member)));
    });
    for (std::size_t k = 0; k < kTextCount; ++k) place_text(cells_, a.texts[k], a.texts[k], text_[k], text_hex_[k]);
    if (is_spell(a.head)) {
        n = 0;
        for_each_field(HeaderLayout::trailer, [&](const auto &f) {
            using F = std::decay_t<decltype(f)>;
            const auto &value = a.head.*(F::member);
            if constexpr (std::is_array_v<typename F::value>) {
                // the code without the zero bytes behind it; in hex, all of its bytes
                const std::string_view all(value, sizeof value - 1);  // the last is the terminator
                std::size_t size = all.size();
                while (size > 0 && all[size - 1] == '\0') --size;
                place_text(cells_, all.substr(0, size), all, trailer_[n], trailer_hex_[n]);
            } else {
                cells_[trailer_[n]] = integer(static_cast<long long>(value));
            }
            ++n;
        });
    }
    sink.row(0, &number, cells_.data());
}

void RowMaker::detail_row(const WholeDetail &d, const std::uint64_t *keys, RowSink &sink) {
    cells_.assign(width_[1], Cell());
    std::size_t size = d.raw.size();
    visit_body_type(d.header.type, [&](auto tag) {
        using R = typename decltype(tag)::type;
        size = body_wire_size<R>(d.stats.size());
    });
    std::size_t n = 0;
    for_each_field(DetailHeaderLayout::fields, [&](const auto &f) {
        using F = std::decay_t<decltype(f)>;
        const long long value = d.header.*(F::member);
        // the form leaves out a length that equals its body's size
        const bool derived = same_member<F::member, DetailHeaderLayout::body_length>() &&
                             static_cast<std::size_t>(value) == size;
        if (!derived) cells_[detail_header_[n]] = integer(value);
        ++n;
    });
    std::size_t kind = 0;
    bool known = false;
    for_each_body_type([&](auto tag) {
        using R = typename decltype(tag)::type;
        if (!known && d.header.type == Layout<R>::detail_type) {
            known = true;
            const R &record = d.body<R>();
            std::size_t k = 0;
            each_value_field(Layout<R>::fields, [&](const auto &f) {
                using F = std::decay_t<decltype(f)>;
                cells_[body_[kind][k++]] = integer(static_cast<long long>(record.*(F::member)));
            });
        }
        ++kind;
    });
    if (!known) {
        Cell cell;
        cell.kind = Cell::Kind::hex;
        cell.bytes = d.raw;
        cells_[body_hex_] = cell;
    }
    sink.row(1, keys, cells_.data());
}

bool RowMaker::rows(const WholeAction &a, std::uint64_t number, RowCursor &at, RowSink &sink,
                    std::size_t budget) {
    std::size_t given = 0;
    if (!at.started) {
        action_row(a, number, sink);
        at.started = true;
        ++given;
    }
    for (; at.detail < a.details.size(); ++at.detail) {
        const WholeDetail &d = a.details[at.detail];
        std::uint64_t keys[3] = {number, at.detail, 0};
        if (!at.in_entries) {
            detail_row(d, keys, sink);
            ++given;
            at.in_entries = true;
            at.entry = 0;
        }
        for (; at.entry < d.stats.size(); ++at.entry) {
            if (given >= budget) return false;
            keys[2] = at.entry;
            cells_.assign(width_[2], Cell());
            std::size_t k = 0;
            each_value_field(Layout<EntryRecord>::fields, [&](const auto &f) {
                using F = std::decay_t<decltype(f)>;
                cells_[entry_[k++]] = integer(static_cast<long long>(d.stats[at.entry].*(F::member)));
            });
            sink.row(2, keys, cells_.data());
            ++given;
        }
        at.in_entries = false;
    }
    at = RowCursor();
    return true;
}

}  // namespace qn4t
