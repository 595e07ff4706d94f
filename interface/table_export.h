// Whole actions as the rows of the tables actions, details and stats, made natively as a file
// is read: their CSV text, or their rows inserted into an SQLite database file.
#pragma once

#include <Python.h>

namespace qn4t {

// Adds to `module` (the companion extension module):
//   _table_csv(file, plain, tables)   an iterator of (actions, details, stats) bytes: the CSV
//                        rows (no header) of the actions read with file.read(), a block of
//                        whole actions at a time (an action of many stat entries over
//                        several blocks)
//   _table_sqlite(file, plain, tables, path, settings, schema)  an iterator that inserts
//                        the rows of a block of actions into the database file at path
//                        per step, giving the number of rows inserted; the statements of
//                        settings run first (pragmas), then those of schema and every row
//                        in one transaction, committed at the end (sqlite3.OperationalError
//                        where SQLite fails)
// tables: ((name, (column path, ...)), ...) for the three tables, a path being a tuple of
// texts as tables.Column.path. Both iterators' `actions` and `offset` say how many actions
// were given so far and the uncompressed offset behind the last; a damaged file raises
// DamagedFileError after the rows of every complete action before the damage (the database
// is then not committed). Returns false with the exception set when something cannot be
// added.
bool add_table_export(PyObject *module);

}  // namespace qn4t
