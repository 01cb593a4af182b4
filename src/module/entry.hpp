// The exception boundary: every method-table entry is a noexcept wrapper around an operator.
// Inside an operator, Python errors travel as nullptr with the error set; the only C++
// exceptions are allocation failures, and they stop here as MemoryError.
#pragma once

#include "core/seq.hpp"

#include <stdexcept>

namespace lumo {

using NoArgsOperator = PyObject *(*)(Seq *self);
using FastOperator = PyObject *(*)(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
using FastFunction = PyObject *(*)(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

// Returns what `body` returns, or nullptr with MemoryError set when it ran out of memory.
template <class Body>
PyObject *guarded(Body &&body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {  // includes bad_array_new_length
        return PyErr_NoMemory();
    } catch (const std::length_error &) {
        return PyErr_NoMemory();
    }
}

template <NoArgsOperator Impl>
PyObject *entry_noargs(PyObject *self, PyObject *) noexcept {
    return guarded([&] { return Impl(as_seq(self)); });
}

template <FastOperator Impl>
PyObject *entry_fast(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return guarded([&] { return Impl(as_seq(self), args, nargs, kwnames); });
}

// A module-level function: its `self` is the module, which it never reads.
template <FastFunction Impl>
PyObject *entry_function(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return guarded([&] { return Impl(args, nargs, kwnames); });
}

}  // namespace lumo
