// Element equality of the set operators: Python `==`, then a truth test, and the linear scan
// built on it, which stays the general path of every set operator.
#pragma once

#include "core/owned.hpp"

#include <cstddef>

namespace lumo {

// Python `==` then a truth test: 1 equal, 0 not equal, -1 with an exception set. An exception
// from `==` counts as not equal, except an interrupt or MemoryError; one from the truth test
// propagates. may run Python
int elements_equal(PyObject *left, PyObject *right) noexcept;

// `elements_equal` with `candidate` on the side that `candidate_left` says. may run Python
inline int equal_to_partner(PyObject *partner, PyObject *candidate, bool candidate_left) noexcept {
    return candidate_left ? elements_equal(candidate, partner) : elements_equal(partner, candidate);
}

// The linear scan: the index of the first of `partners` equal to `candidate`, compared in order;
// partners.size() when none is; -1 with an exception set. may run Python
std::ptrdiff_t first_equal(const ItemVec &partners, PyObject *candidate, bool candidate_left) noexcept;

}  // namespace lumo
