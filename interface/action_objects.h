// Whole actions as Python objects: the native types Action, Detail and one per detail body
// and entry record of the record list (core/record_types.h), named by their layouts'
// class_name, added to a module (the reader and writer over file objects: action_io.h).
#pragma once

#include <Python.h>

namespace qn4t {

// Adds the action types and functions to `module` (the companion extension module):
//   Action, Detail and the body and entry types   the native types (subclassable)
//   _register_classes({class name: class})
//                        the subclasses the reader makes its objects of, one per type
//   _action_from_json(value)  (Action, its bytes in the file) from an action's JSON form as
//                        `actiontool export` writes it, or None for any other form
// Returns false with the exception set when something cannot be added.
bool add_action_api(PyObject *module);

}  // namespace qn4t
