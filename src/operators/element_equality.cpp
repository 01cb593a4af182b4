// Element equality. Both steps may run Python code (__eq__, the reflected __eq__, __bool__).
#include "operators/element_equality.hpp"

#include "core/errors.hpp"

namespace lumo {

int elements_equal(PyObject *left, PyObject *right) noexcept {
    Owned result{PyObject_RichCompare(left, right, Py_EQ)};  // may run Python
    if (!result) return discard_pending_error() ? 0 : -1;
    return PyObject_IsTrue(result.get());  // may run Python; its exception propagates
}

}  // namespace lumo
