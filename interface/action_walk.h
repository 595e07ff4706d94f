// A walk over the whole actions of a binary file object without a Python object per action:
// dump's text a block at a time, or check's findings (counts, repeated actionIDs, detail
// lengths that differ from their bodies), and where a damaged action ends, as facts.
#pragma once

#include <Python.h>

#include "core/action_file.h"

namespace qn4t {

// The facts of `damage` as a dict (a new reference, or null with the exception set):
//   reason        "cut", "unreadable" or "too large"
//   action        the action's number, from 1;  action_offset  where it starts
//   action_id     its actionID, or None where its head was not read
//   record        "head", "texts", "spell trailer", "detail header", "detail body" or
//                 "stat entries";  field  the field the bytes end in ("" for none)
//   detail        the detail, from 1 (0 outside the details);  details  numDetails (or 0)
//   detail_type   its type, or None before its header;  entries  its declared stat entries
//   offset, size, present  where the record starts, its bytes, and how many of them are there
//   report        the reader's words (DamagedFileError's message)
PyObject *damage_facts(const ActionDamage &damage, const std::string &report);

// Adds to `module` (the companion extension module):
//   _walk_actions(file, plain=0, listing=0, names=None)  an iterator over the actions read
//        with file.read(): with listing, bytes blocks of dump's text (UTF-8, whole lines but
//        within a line of stat entries); without, b"" every few thousand actions. Its
//        `actions` and `offset` say how far the blocks given out reach; once the walk is
//        over, `summary` holds its findings (else None). A damaged file raises
//        DamagedFileError after the block holding the last complete action.
//        names: None, or ((field, bits, ((value, name bytes), ...)), ...) to show beside
//        the values of fields (bits: the names are of bits).
// Returns false with the exception set when something cannot be added.
bool add_action_walk(PyObject *module);

}  // namespace qn4t
