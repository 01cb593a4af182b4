// Sequence arguments: the one way an operator accepts another sequence (a LumoSeq, a list or a
// tuple) as a private vector of item references. No Python code runs.
#pragma once

#include "core/seq.hpp"

namespace lumo {

// Copies the items of a LumoSeq, list (or subclass) or tuple (or subclass) into `out`, reading
// storage directly: no Python code runs. False with TypeError(`message`) for any other kind,
// RuntimeError when a LumoSeq argument is held by skip, or SystemError for a tuple that tuple()
// is still filling.
bool sequence_argument_items(PyObject *argument, const char *message, ItemVec &out);

}  // namespace lumo
