// Whole actions as Python objects: the native types Action, Detail, Damage, StatMod, Stat and
// Healing, the block reader as an iterator and the block writer, added to a module.
#pragma once

#include <Python.h>

namespace qn4t {

// Adds the action types and functions to `module` (the companion extension module):
//   Action, Detail, Damage, StatMod, Stat, Healing   the native types (subclassable)
//   _register_classes(Action, Detail, Damage, StatMod, Stat, Healing)
//                        the subclasses the reader makes its objects of
//   _read_actions(file)  an iterator of actions read with file.read() in blocks; raises
//                        `damaged_file_error` after the last complete action of a damaged file
//   _write_actions(file, actions)  writes the actions as one gzip member with file.write()
//   _action_from_json(value)  (Action, its bytes in the file) from an action's JSON form as
//                        `actiontool export` writes it, or None for any other form
// Returns false with the exception set when something cannot be added.
bool add_action_api(PyObject *module, PyObject *damaged_file_error);

}  // namespace qn4t
