// Whole actions as Python objects: the native types Action, Detail, Damage, StatMod, Stat and
// Healing, added to a module (the reader and writer over file objects: action_io.h).
#pragma once

#include <Python.h>

namespace qn4t {

// Adds the action types and functions to `module` (the companion extension module):
//   Action, Detail, Damage, StatMod, Stat, Healing   the native types (subclassable)
//   _register_classes(Action, Detail, Damage, StatMod, Stat, Healing)
//                        the subclasses the reader makes its objects of
//   _action_from_json(value)  (Action, its bytes in the file) from an action's JSON form as
//                        `actiontool export` writes it, or None for any other form
// Returns false with the exception set when something cannot be added.
bool add_action_api(PyObject *module);

}  // namespace qn4t
