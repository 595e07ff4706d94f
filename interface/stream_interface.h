// The stream reference: Python holds the address of a StreamCell, which holds the handle.
#pragma once

#include <Python.h>
#include <zlib.h>

namespace qn4t {

// Cells live in the handed-out objects' arena (core/address_arena.h) and are never
// released once handed out, so a stream reference never comes to name anything else.
struct StreamCell {
    gzFile handle = nullptr;  // null after a failed open and after close
};


}  // namespace qn4t
