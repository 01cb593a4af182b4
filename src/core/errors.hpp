// Error helpers shared by the operators: the strict boolean rule, the rule for which
// exceptions may be discarded, and the rendering of a caught exception as text.
#pragma once

#include "core/owned.hpp"

namespace lumo {

// True when the pending exception must never be swallowed: anything that is not an Exception
// (KeyboardInterrupt, SystemExit) and MemoryError. Where an operator discards exceptions, it
// discards the others only, so a Ctrl-C or exhausted memory never turns into a wrong answer.
bool pending_error_is_fatal() noexcept;

// Clears the pending exception and returns true, unless it is fatal: then it stays set and
// false is returned.
bool discard_pending_error() noexcept;

// True when `levels` nested recursion checks of the interpreter (the ones PyObject_RichCompare
// and PyObject_Repr make) would pass at this depth. A native path that stands in for such calls
// runs only then: where they would fail with RecursionError, the general path gives their answer.
bool recursion_headroom(int levels) noexcept;

// The strict boolean rule: 1 or 0 for True / False (or a NumPy boolean scalar), -1 with an
// exception set otherwise. may run Python (a NumPy truth slot)
int strict_bool(PyObject *value) noexcept;

// Calls `func(a, b)` through vectorcall.
inline PyObject *call2(PyObject *func, PyObject *a, PyObject *b) noexcept {
    PyObject *buf[3] = {nullptr, a, b};
    return PyObject_Vectorcall(func, buf + 1, std::size_t{2} | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace lumo
