// What the whole-action reader and writer (action_io.cpp) take from the object types
// (object_kinds.h): an Action object made from a decoded action, and a decoded action
// filled from an Action object. Internal to the companion module.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "core/action_file.h"

namespace qn4t {

// A new Action object (of the class registered for the reader) holding `action`, or null
// with the exception set. The stat entries are taken from `action`, not copied.
PyObject *action_object(WholeAction &action);

// A list of new Detail objects holding `details` (their stat entries taken), or null with
// the exception set.
PyObject *detail_list(std::vector<WholeDetail> &details);

// Fills `action` from an Action object, its counts following its contents. False with the
// exception set, naming `index` (its place among the actions written) and the field. Runs
// no Python code.
bool fill_action(PyObject *object, std::size_t index, WholeAction &action);

}  // namespace qn4t
