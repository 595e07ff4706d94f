// The details an Action object keeps packed until they are asked for (see ActionObject):
// making their Detail objects, and keeping a decoded action's details packed. Internal to
// the companion module.
#pragma once

#include <Python.h>

#include <string_view>

#include "core/action_file.h"
#include "interface/object_kinds.h"

namespace qn4t {

// The action's list of details, a new reference, made from its packed details the first
// time and kept; null with the exception set.
PyObject *details_of(ActionObject *a);

// The action's details as a list, a new reference: its own list, or one made from its
// packed details and not kept (the action stays packed, and no list of it is left where
// the collector does not look). Null with the exception set.
PyObject *details_to_read(ActionObject *a);

// Keeps the action's details packed when their bytes say exactly what their fields say,
// with `texts` in front of them in its block; false when they are to be made objects now,
// or with the exception set (MemoryError).
bool hold_packed(ActionObject *a, const WholeAction &w, const std::string_view (&texts)[kTextCount]);

}  // namespace qn4t
