// The details an Action object keeps packed until they are asked for (kept_details.h).
#include "interface/kept_details.h"

#include <string>
#include <vector>

#include "core/packed_details.h"
#include "interface/action_block.h"
#include "interface/action_conversion.h"
#include "interface/fault_translation.h"

namespace qn4t {
namespace {

// A new list of Detail objects made from the action's packed details, or null with the
// exception set. The bytes are decoded into plain values before any object is made: making
// the objects may run the collector and with it any __del__, which may ask for this
// action's details or replace them (and free the block).
PyObject *unpacked_list(ActionObject *a) {
    std::vector<WholeDetail> decoded;
    const bool decodes = guarded([&] { return unpack_details(packed_of(a), a->packed_count, decoded); });
    if (PyErr_Occurred()) return nullptr;
    if (!decodes) {
        PyErr_Format(PyExc_SystemError, "Action (actionID %lu): its kept details do not decode",
                     static_cast<unsigned long>(a->rec.actionID));
        return nullptr;
    }
    return detail_list(decoded);
}

}  // namespace

// The list made here is installed only when no other call installed one meanwhile.
PyObject *details_of(ActionObject *a) {
    if (a->details) {
        Py_INCREF(a->details);
        return a->details;
    }
    PyObject *made = unpacked_list(a);
    if (!made) return nullptr;
    if (!host::gc_is_tracked(reinterpret_cast<PyObject *>(a))) PyObject_GC_UnTrack(made);  // see "The cyclic collector"
    if (!a->details) {
        a->details = made;
        drop_packed(a);
        Py_INCREF(made);
        return made;
    }
    PyObject *installed = a->details;  // by a call made while the objects were made
    Py_INCREF(installed);
    Py_DECREF(made);
    return installed;
}

PyObject *details_to_read(ActionObject *a) {
    if (a->details) {
        Py_INCREF(a->details);
        return a->details;
    }
    return unpacked_list(a);
}

bool hold_packed(ActionObject *a, const WholeAction &w, const std::string_view (&texts)[kTextCount]) {
    if (packed_size(w) > kMostPackedBytes || !packs_exactly(w)) return false;
    static std::string packed;  // reused: no Python code runs while it is filled and copied
    packed.clear();
    if (!guarded([&] { pack_details(w, packed); return true; })) return false;
    if (!hold_block(a, texts, packed)) return false;
    a->packed_count = w.head.numDetails;
    return true;
}

}  // namespace qn4t
