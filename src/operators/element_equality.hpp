// Element equality of the set operators: Python `==`, then a truth test.
#pragma once

#include "core/owned.hpp"

namespace lumo {

// Python `==` then a truth test: 1 equal, 0 not equal, -1 with an exception set. An exception
// from `==` counts as not equal, except an interrupt or MemoryError; one from the truth test
// propagates. may run Python
int elements_equal(PyObject *left, PyObject *right) noexcept;

}  // namespace lumo
