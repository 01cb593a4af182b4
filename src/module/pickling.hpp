// Sequences that leave the process or get copied: LumoSeq's __reduce__, __copy__ and __deepcopy__,
// and lumo._restore, the module function that a pickle names to rebuild a sequence.
#pragma once

#include "core/seq.hpp"

namespace lumo {

// __reduce__: (lumo._restore, (list of the items, cursor)). Returns a new reference or nullptr.
PyObject *seq_reduce(Seq *self);

// __copy__: the sequence itself, which never changes. Returns a new reference or nullptr.
PyObject *seq_copy(Seq *self);

// __deepcopy__(memo=None): the items deep-copied through `memo`, the cursor kept. Returns a new
// reference or nullptr. may run Python (every item's deep copy, the memo's lookup)
PyObject *seq_deepcopy(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

// Adds `_restore` to the module and keeps it for seq_reduce. -1 with an exception set.
int add_restore_function(PyObject *module) noexcept;

}  // namespace lumo
