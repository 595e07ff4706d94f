// Whole actions as table rows, a block of actions per step (table_export.h): the CSV text of
// the rows, or the rows inserted into an SQLite database through its C library.
#include "interface/table_export.h"

#include <memory>
#include <stdexcept>
#include <string>

#include "binding/host.h"
#include "core/table_database.h"
#include "interface/table_rows.h"
#include "interface/action_io.h"
#include "interface/fault_translation.h"
#include "interface/file_work.h"
#include "interface/module_add.h"

namespace qn4t {
namespace {

// Rows gathered before a step gives them out: few calls into Python, little held.
constexpr std::size_t kBlockRows = 8192;

// The CSV text of each table's rows of one block.
class CsvText : public RowSink {
public:
    explicit CsvText(const RowMaker &maker) : maker_(maker) {}
    void row(std::size_t table, const std::uint64_t *keys, const Cell *cells) override {
        append_csv_row(text[table], keys, table + 1, cells, maker_.columns(table));
    }
    std::string text[kTableCount];

private:
    const RowMaker &maker_;
};

// Counts the rows given to the sink behind it.
class CountedRows : public RowSink {
public:
    explicit CountedRows(RowSink &sink) : sink_(sink) {}
    void row(std::size_t table, const std::uint64_t *keys, const Cell *cells) override {
        sink_.row(table, keys, cells);
        ++count;
    }
    std::size_t count = 0;

private:
    RowSink &sink_;
};

struct TablesState {
    TablesState(PyObject *file, bool plain, std::unique_ptr<RowMaker> *maker, std::unique_ptr<TableDatabase> *database)
        : source(file_source(file)), reader(*source, plain), maker(std::move(*maker)),
          database(std::move(*database)), csv(*this->maker) {}
    std::unique_ptr<ByteSource> source;
    ActionReader reader;
    std::unique_ptr<RowMaker> maker;
    std::unique_ptr<TableDatabase> database;  // null: CSV text
    CsvText csv;
    WholeAction action;
    RowCursor at;
    bool in_action = false;          // `action`'s rows are not all given: they go on in the next block
    unsigned long long actions = 0;  // actions whose rows are all given
    unsigned long long offset = 0;   // uncompressed, behind the last of them
    bool ended = false;              // at the end or at damage: the block made is the last
    std::string damage;
};

struct TablesObject : BlockWork<TablesState> {
    static constexpr const char *busy = "table rows iterator already executing";

    static int visit(TablesObject *o, visitproc visit, void *arg) { return o->visit_held(visit, arg); }
    static void clear(TablesObject *o) { o->clear_held(); }
};
using TablesType = FileWorkType<TablesObject>;

PyObject *raise_database_fault(const char *what) {
    PyObject *sqlite = PyImport_ImportModule("sqlite3");
    if (!sqlite) return nullptr;
    PyObject *kind = PyObject_GetAttrString(sqlite, "OperationalError");
    Py_DECREF(sqlite);
    if (!kind) return nullptr;
    PyErr_SetString(kind, what);
    Py_DECREF(kind);
    return nullptr;
}

// Decodes actions and gives their rows to `sink` until a block is full, the file ends or is
// damaged. Throws what the sink throws.
void fill_block(TablesObject *o, RowSink &sink) {
    TablesState &s = *o->state;
    CountedRows counted(sink);
    while (counted.count < kBlockRows) {
        if (!s.in_action) {
            if (s.ended) break;
            if (!o->read_action(s.reader, s.action, s.ended, s.damage)) break;
            s.in_action = true;
        }
        if (!s.maker->rows(s.action, s.actions, s.at, counted, kBlockRows - counted.count)) break;
        s.in_action = false;
        ++s.actions;
        s.offset = s.reader.offset();
    }
}

// After the last block: the damage or the file's exception, or the end (the database
// committed), null with no exception.
PyObject *end_of_tables(TablesObject *o) {
    if (o->raise_held()) {
        // the file's own exception ends the work
    } else if (!o->state->damage.empty()) {
        raise_damaged(o->state->damage);
    } else if (o->state->database) {
        try {
            o->state->database->commit();
        } catch (const DatabaseFault &fault) {
            raise_database_fault(fault.what());
        }
    }
    TablesType::finish(o);
    return nullptr;
}

PyObject *made_csv_block(TablesObject *o) {
    TablesState &s = *o->state;
    for (std::string &text : s.csv.text) text.clear();
    fill_block(o, s.csv);
    if (s.csv.text[0].empty() && s.csv.text[1].empty() && s.csv.text[2].empty()) return nullptr;
    PyObject *block = PyTuple_New(kTableCount);
    if (!block) return nullptr;
    for (std::size_t t = 0; t < kTableCount; ++t) {
        PyObject *text = host::bytes_from(s.csv.text[t].data(), s.csv.text[t].size());
        if (!text) {
            Py_DECREF(block);
            return nullptr;
        }
        PyTuple_SET_ITEM(block, static_cast<Py_ssize_t>(t), text);
    }
    return block;
}

PyObject *made_database_block(TablesObject *o) {
    CountedRows counted(*o->state->database);
    try {
        fill_block(o, counted);
    } catch (const DatabaseFault &fault) {
        return raise_database_fault(fault.what());
    }
    if (!counted.count) return nullptr;
    return PyLong_FromSize_t(counted.count);
}

// The next block, or null at the end or with the exception set; any failure ends the work.
PyObject *next_block(TablesObject *o) {
    TablesState &s = *o->state;
    PyObject *block = nullptr;
    const bool done = s.ended && !s.in_action;
    if (!done && !guarded([&] { block = s.database ? made_database_block(o) : made_csv_block(o); return true; })) {
        TablesType::finish(o);
        return nullptr;
    }
    if (block) {
        o->actions = s.actions;
        o->offset = s.offset;
        return block;
    }
    if (PyErr_Occurred()) {
        TablesType::finish(o);
        return nullptr;
    }
    return end_of_tables(o);
}

PyGetSetDef tables_getset[] = {
    actions_row<TablesObject>("Actions whose rows were given so far."),
    offset_row<TablesObject>("Uncompressed offset behind the last action given."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A text of a column path or a statement as UTF-8 bytes; false with the exception set.
bool text_of(PyObject *value, std::string &out) {
    if (host::is_bytes(value)) {
        out.assign(host::bytes_data(value), host::bytes_size(value));
        return true;
    }
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "expected a text, not %s", Py_TYPE(value)->tp_name);
        return false;
    }
    PyObject *holder = nullptr;
    std::size_t size = 0;
    const char *data = host::utf8_of(value, &size, &holder);
    if (data) out.assign(data, size);
    Py_XDECREF(holder);
    return data != nullptr;
}

// Each item of a sequence through `take`; false with the exception set.
template <class Take>
bool each_item(PyObject *sequence, const char *what, Take take) {
    PyObject *items = PySequence_Fast(sequence, what);
    if (!items) return false;
    bool ok = true;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items);
    for (Py_ssize_t k = 0; ok && k < count; ++k) ok = take(PySequence_Fast_GET_ITEM(items, k), k, count);
    Py_DECREF(items);
    return ok;
}

// The names and column paths of ((name, (path, ...)), ...); false with the exception set.
bool tables_of(PyObject *given, std::array<std::string, kTableCount> &names, TableColumns &columns) {
    return each_item(given, "tables must be a sequence", [&](PyObject *table, Py_ssize_t t, Py_ssize_t count) {
        if (count != static_cast<Py_ssize_t>(kTableCount)) {
            PyErr_Format(PyExc_ValueError, "expected %d tables, not %zd", static_cast<int>(kTableCount), count);
            return false;
        }
        PyObject *name = nullptr, *paths = nullptr;
        if (!PyArg_ParseTuple(table, "OO:table", &name, &paths) || !text_of(name, names[t])) return false;
        return each_item(paths, "columns must be a sequence", [&](PyObject *path, Py_ssize_t, Py_ssize_t) {
            ColumnPath parts;
            const bool ok = each_item(path, "a column path must be a sequence", [&](PyObject *part, Py_ssize_t, Py_ssize_t) {
                parts.emplace_back();
                return text_of(part, parts.back());
            });
            if (ok) columns[t].push_back(parts);
            return ok;
        });
    });
}

// The row maker of the columns; null with ValueError where they do not fit the records.
std::unique_ptr<RowMaker> maker_of(const TableColumns &columns) {
    try {
        return std::make_unique<RowMaker>(columns);
    } catch (const std::invalid_argument &problem) {
        PyErr_SetString(PyExc_ValueError, problem.what());
        return nullptr;
    }
}

// The texts of a sequence; false with the exception set.
bool texts_of(PyObject *sequence, const char *what, std::vector<std::string> &texts) {
    return each_item(sequence, what, [&](PyObject *text, Py_ssize_t, Py_ssize_t) {
        texts.emplace_back();
        return text_of(text, texts.back());
    });
}

PyObject *make_tables(PyObject *file, bool plain, PyObject *tables, PyObject *path, PyObject *settings,
                      PyObject *schema) {
    std::array<std::string, kTableCount> names;
    TableColumns columns;
    std::vector<std::string> pragmas, statements;
    std::string database_path;
    if (!tables_of(tables, names, columns)) return nullptr;
    if (path && (!texts_of(settings, "settings must be a sequence", pragmas) ||
                 !texts_of(schema, "schema must be a sequence", statements)))
        return nullptr;
    if (path) {
        PyObject *encoded = host::fs_path(path);
        if (!encoded) return nullptr;
        database_path.assign(host::bytes_data(encoded), host::bytes_size(encoded));
        Py_DECREF(encoded);
    }
    std::unique_ptr<RowMaker> maker = maker_of(columns);
    if (!maker) return nullptr;
    std::unique_ptr<TableDatabase> database;
    if (path) {
        std::array<std::size_t, kTableCount> widths{};
        for (std::size_t t = 0; t < kTableCount; ++t) widths[t] = maker->columns(t);
        try {
            database = std::make_unique<TableDatabase>(database_path, pragmas, statements, names, widths);
        } catch (const DatabaseFault &fault) {
            return raise_database_fault(fault.what());
        }
    }
    return reinterpret_cast<PyObject *>(TablesType::make(file, plain, &maker, &database));
}

PyObject *table_csv(PyObject *, PyObject *args) {
    PyObject *file = nullptr, *tables = nullptr;
    int plain = 0;
    if (!PyArg_ParseTuple(args, "OiO:_table_csv", &file, &plain, &tables)) return nullptr;
    return guarded([&] { return make_tables(file, plain != 0, tables, nullptr, nullptr, nullptr); });
}

PyObject *table_sqlite(PyObject *, PyObject *args) {
    PyObject *file = nullptr, *tables = nullptr, *path = nullptr, *settings = nullptr, *schema = nullptr;
    int plain = 0;
    if (!PyArg_ParseTuple(args, "OiOOOO:_table_sqlite", &file, &plain, &tables, &path, &settings, &schema))
        return nullptr;
    return guarded([&] { return make_tables(file, plain != 0, tables, path, settings, schema); });
}

PyMethodDef functions[] = {
    {"_table_csv", table_csv, METH_VARARGS,
     "Iterator of (actions, details, stats) CSV rows (bytes) of the actions read from a binary "
     "file object, a block of whole actions at a time."},
    {"_table_sqlite", table_sqlite, METH_VARARGS,
     "Iterator that inserts the rows of the actions read from a binary file object into an "
     "SQLite database file, a block of actions per step, in one transaction."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

bool add_table_export(PyObject *module) {
    if (!TablesType::ready("_qn4tGenericActionSupport.TableRows", next_block_of<TablesObject, next_block>, nullptr, tables_getset)) return false;
    return add_functions(module, functions);
}

}  // namespace qn4t
