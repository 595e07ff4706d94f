// The rows of the three tables into an SQLite database file (table_database.h).
#include "core/table_database.h"

#include <sqlite3.h>

namespace qn4t {

TableDatabase::TableDatabase(const std::string &path, const std::vector<std::string> &settings,
                             const std::vector<std::string> &schema,
                             const std::array<std::string, kTableCount> &names,
                             const std::array<std::size_t, kTableCount> &widths)
    : widths_(widths) {
    // One thread uses the connection: no lock around each call.
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    const int opened = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (opened != SQLITE_OK) {
        const std::string what = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(opened);
        sqlite3_close(db_);
        db_ = nullptr;
        throw DatabaseFault(what);
    }
    // A constructor that throws runs no destructor: what is open so far is let go here.
    try {
        prepare(settings, schema, names, widths);
    } catch (...) {
        release();
        throw;
    }
}

void TableDatabase::prepare(const std::vector<std::string> &settings, const std::vector<std::string> &schema,
                            const std::array<std::string, kTableCount> &names,
                            const std::array<std::size_t, kTableCount> &widths) {
    for (const std::string &setting : settings) run(setting);
    run("BEGIN");
    in_transaction_ = true;
    for (const std::string &statement : schema) run(statement);
    for (std::size_t t = 0; t < kTableCount; ++t) {
        std::string insert = "INSERT INTO \"" + names[t] + "\" VALUES (?";
        for (std::size_t k = 1; k < t + 1 + widths[t]; ++k) insert += ", ?";
        insert += ")";
        if (sqlite3_prepare_v2(db_, insert.c_str(), -1, &insert_[t], nullptr) != SQLITE_OK) fail(insert);
    }
}

TableDatabase::~TableDatabase() { release(); }

void TableDatabase::release() noexcept {
    for (sqlite3_stmt *&statement : insert_) {
        sqlite3_finalize(statement);
        statement = nullptr;
    }
    if (db_ && in_transaction_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    in_transaction_ = false;
    sqlite3_close(db_);
    db_ = nullptr;
}

void TableDatabase::run(const std::string &statement) {
    if (sqlite3_exec(db_, statement.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) fail(statement);
}

void TableDatabase::fail(const std::string &) {
    throw DatabaseFault(sqlite3_errmsg(db_));
}

void TableDatabase::row(std::size_t table, const std::uint64_t *keys, const Cell *cells) {
    sqlite3_stmt *insert = insert_[table];
    int at = 1;
    for (std::size_t k = 0; k <= table; ++k) sqlite3_bind_int64(insert, at++, static_cast<sqlite3_int64>(keys[k]));
    hex_cells_.clear();
    hex_cells_.reserve(widths_[table]);  // the binds point into it: it never moves meanwhile
    for (std::size_t k = 0; k < widths_[table]; ++k, ++at) {
        const Cell &cell = cells[k];
        switch (cell.kind) {
        case Cell::Kind::empty: sqlite3_bind_null(insert, at); break;
        case Cell::Kind::integer: sqlite3_bind_int64(insert, at, cell.number); break;
        case Cell::Kind::text:
            sqlite3_bind_text(insert, at, cell.bytes.data(), static_cast<int>(cell.bytes.size()), SQLITE_STATIC);
            break;
        case Cell::Kind::hex:
            hex_cells_.emplace_back();
            append_hex(hex_cells_.back(), cell.bytes);
            sqlite3_bind_text(insert, at, hex_cells_.back().data(), static_cast<int>(hex_cells_.back().size()),
                              SQLITE_STATIC);
            break;
        }
    }
    const int stepped = sqlite3_step(insert);
    sqlite3_reset(insert);
    if (stepped != SQLITE_DONE) fail("INSERT");
}

void TableDatabase::commit() {
    run("COMMIT");
    in_transaction_ = false;
    for (sqlite3_stmt *&statement : insert_) {
        sqlite3_finalize(statement);
        statement = nullptr;
    }
    const int closed = sqlite3_close(db_);
    db_ = nullptr;
    if (closed != SQLITE_OK) throw DatabaseFault(sqlite3_errstr(closed));
}

}  // namespace qn4t
