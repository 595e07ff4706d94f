// Rows of the module's method table, and runs of rows joined into one.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "core/type_list.h"

namespace qn4t {

// Every function of the module takes its arguments as one tuple and has no documentation.
constexpr PyMethodDef method_row(const char *name, PyCFunction handler) {
    return {name, handler, METH_VARARGS, nullptr};
}

// The rows of all runs, one behind the other.
template <std::size_t... N>
constexpr std::array<PyMethodDef, (N + ...)> join_rows(const std::array<PyMethodDef, N> &...runs) {
    std::array<PyMethodDef, (N + ...)> rows{};
    std::size_t at = 0;
    auto append = [&](const auto &run) {
        for (const PyMethodDef &row : run) rows[at++] = row;
    };
    (append(runs), ...);
    return rows;
}

// A module's method table: its own rows, then rows_of(TypeTag<R>{}) for each type R of the
// list, then the null row that ends the table.
template <std::size_t N, class... R, class RowsOf>
constexpr auto method_rows(const std::array<PyMethodDef, N> &own_rows, TypeList<R...>,
                           RowsOf rows_of) {
    constexpr std::array<PyMethodDef, 1> end = {{{nullptr, nullptr, 0, nullptr}}};
    return join_rows(own_rows, rows_of(TypeTag<R>{})..., end);
}

}  // namespace qn4t
