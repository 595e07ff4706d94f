// The rows of the three tables (table_rows.h) inserted into an SQLite database file through
// SQLite's C library: prepared statements, all in one transaction. No Python here.
#pragma once

#include <array>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/table_cells.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qn4t {

// What SQLite reported, in its own words.
class DatabaseFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TableDatabase : public RowSink {
public:
    // Opens (or makes) the database file at `path`, runs `settings` (pragmas, which a
    // transaction cannot change), begins a transaction and runs `schema` (the statements that
    // make the tables and views) in it; the rows then go to the tables `names`, each with its
    // keys and `widths[t]` value columns. Throws DatabaseFault.
    TableDatabase(const std::string &path, const std::vector<std::string> &settings,
                  const std::vector<std::string> &schema,
                  const std::array<std::string, kTableCount> &names,
                  const std::array<std::size_t, kTableCount> &widths);
    // Rolls back what was not committed and closes the file.
    ~TableDatabase() override;
    TableDatabase(const TableDatabase &) = delete;
    TableDatabase &operator=(const TableDatabase &) = delete;

    // Inserts one row; throws DatabaseFault.
    void row(std::size_t table, const std::uint64_t *keys, const Cell *cells) override;
    // Commits the transaction and closes the file; throws DatabaseFault.
    void commit();

private:
    void prepare(const std::vector<std::string> &settings, const std::vector<std::string> &schema,
                 const std::array<std::string, kTableCount> &names,
                 const std::array<std::size_t, kTableCount> &widths);
    // Finalizes the statements, rolls back what was not committed and closes the file.
    void release() noexcept;
    void run(const std::string &statement);
    [[noreturn]] void fail(const std::string &what);

    sqlite3 *db_ = nullptr;
    std::array<sqlite3_stmt *, kTableCount> insert_{};
    std::array<std::size_t, kTableCount> widths_{};
    std::vector<std::string> hex_cells_;
    bool in_transaction_ = false;
};

}  // namespace qn4t
