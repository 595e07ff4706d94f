// A run of method-table rows contributed by one interface source.
#pragma once

#include <Python.h>

#include <cstddef>

namespace qn4t {

struct MethodRows {
    const PyMethodDef *rows;
    std::size_t count;
};

// In method-table order.
extern const MethodRows kStreamRows;
extern const MethodRows kActionHeaderRows;
extern const MethodRows kDetailHeaderRows;
extern const MethodRows kDamageRows;
extern const MethodRows kHealingRows;
extern const MethodRows kStatModRows;
extern const MethodRows kStatModStatRows;

}  // namespace qn4t
