// The exception boundary: every method-table entry is a noexcept wrapper around an operator.
// Inside an operator, Python errors travel as nullptr with the error set; the only C++
// exceptions are allocation failures, and they stop here as MemoryError.
#pragma once

#include "core/seq.hpp"

#include <stdexcept>

namespace lumo {

using NoArgsOperator = PyObject *(*)(Seq *self);
using FastOperator = PyObject *(*)(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

template <NoArgsOperator Impl>
PyObject *entry_noargs(PyObject *self, PyObject *) noexcept {
    try {
        return Impl(as_seq(self));
    } catch (const std::bad_alloc &) {  // includes bad_array_new_length
        return PyErr_NoMemory();
    } catch (const std::length_error &) {
        return PyErr_NoMemory();
    }
}

template <FastOperator Impl>
PyObject *entry_fast(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    try {
        return Impl(as_seq(self), args, nargs, kwnames);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    } catch (const std::length_error &) {
        return PyErr_NoMemory();
    }
}

}  // namespace lumo
