// Element equality and the linear scan. Both may run Python code (__eq__, the reflected __eq__,
// __bool__); the scan reads only vectors that its caller owns, so such code cannot change them.
#include "operators/element_equality.hpp"

#include "core/errors.hpp"

namespace lumo {

int elements_equal(PyObject *left, PyObject *right) noexcept {
    Owned result{PyObject_RichCompare(left, right, Py_EQ)};  // may run Python
    if (!result) return discard_pending_error() ? 0 : -1;
    return PyObject_IsTrue(result.get());  // may run Python; its exception propagates
}

std::ptrdiff_t first_equal(const ItemVec &partners, PyObject *candidate, bool candidate_left) noexcept {
    for (std::size_t i = 0; i < partners.size(); ++i) {
        int eq = equal_to_partner(partners[i].get(), candidate, candidate_left);  // may run Python
        if (eq < 0) return -1;
        if (eq) return static_cast<std::ptrdiff_t>(i);
    }
    return static_cast<std::ptrdiff_t>(partners.size());
}

}  // namespace lumo
