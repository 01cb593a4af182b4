// Key strings: the text by which group_by and join match keys, and the repr text of the
// aggregates' warning lines.
#pragma once

#include "core/owned.hpp"

namespace lumo {

// The key string of `key`: the UTF-8 text of repr(key), lone surrogates made valid. A failing
// repr is reported to the unraisable hook and gives "<unprintable TYPE object>". False only with
// an interrupt or MemoryError pending. may run Python
bool key_string(PyObject *key, Bytes &out);

// The key string of an exact int that fits in 64 bits, an exact str, None, True or False, or an
// exact tuple of those: the same text, made without running Python code (repr of these runs
// none). The caller makes sure that repr's recursion checks pass. False only with MemoryError set.
bool value_key_string(PyObject *key, Bytes &out);

}  // namespace lumo
