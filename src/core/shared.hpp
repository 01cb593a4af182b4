// Helpers shared by several operators: sequence arguments, element equality and key strings.
#pragma once

#include "module/seq.hpp"

namespace lumo {

// Copies the items of a LumoSeq, list (or subclass) or tuple (or subclass) into `out`, reading
// storage directly: no Python code runs. False with TypeError(`message`) for any other kind,
// or RuntimeError when a LumoSeq argument is held by skip.
bool sequence_argument_items(PyObject *argument, const char *message, ItemVec &out);

// Python `==` then a truth test: 1 equal, 0 not equal, -1 with an exception set. An exception
// from `==` counts as not equal, except an interrupt or MemoryError; one from the truth test
// propagates. may run Python
int elements_equal(PyObject *left, PyObject *right) noexcept;

// The key string of `key`: the UTF-8 text of repr(key), lone surrogates made valid. A failing
// repr is reported to the unraisable hook and gives "<unprintable TYPE object>". False only with
// an interrupt or MemoryError pending. may run Python
bool key_string(PyObject *key, Bytes &out);

}  // namespace lumo
