// An Action object's block: its texts back to back, and behind them, while its details are
// not objects yet, the details as the file holds them. Internal to the companion module.
#pragma once

#include <Python.h>

#include <string_view>

#include "interface/object_kinds.h"

namespace qn4t {

// The I-th text and the packed details; valid until the block changes.
std::string_view text_of(const ActionObject *a, std::size_t i);
std::string_view packed_of(const ActionObject *a);

// Makes the action hold `texts` and behind them the `packed` details (which may lie in its
// present block); false with MemoryError (nothing changed). The texts (at most 64 KiB each)
// and the packed bytes (checked by the caller) fit 32-bit offsets.
bool hold_block(ActionObject *a, const std::string_view (&texts)[kTextCount], std::string_view packed);

// hold_block with the packed details the action holds now.
bool hold_texts(ActionObject *a, const std::string_view (&texts)[kTextCount]);

// Forgets the packed details (their Detail objects are made, or they are replaced). Their
// bytes stay in the block, unused, until a text is set: shrinking it would copy the texts
// for each action whose details are asked for.
void drop_packed(ActionObject *a);

}  // namespace qn4t
