// Sequence arguments. Reads a list's or tuple's storage directly, so a subclass's __iter__ or
// __getitem__ never runs and the argument cannot change while it is copied.
#include "operators/sequence_arguments.hpp"

#include "core/access.hpp"

#include <algorithm>

namespace lumo {

bool sequence_argument_items(PyObject *argument, const char *message, ItemVec &out) {
    if (is_seq(argument)) {
        SharedAccess access(as_seq(argument));
        if (!access) return false;
        out = copy_items(as_seq(argument));
        return true;
    }
    if (PyList_Check(argument)) {
        out.clear();
        append_borrowed(out, PySequence_Fast_ITEMS(argument), static_cast<std::size_t>(PyList_GET_SIZE(argument)));
        return true;
    }
    if (PyTuple_Check(argument)) {
        PyObject *const *slots = PySequence_Fast_ITEMS(argument);
        const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(argument));
        // A tuple that tuple() is still filling (a callback can reach one through gc) has empty
        // slots, and an item vector never does. It is refused with the SystemError that the
        // interpreter's object functions raise for an empty slot; its own copy, list(t), crashes.
        if (std::find(slots, slots + n, nullptr) != slots + n) {
            PyErr_SetString(PyExc_SystemError, "bad argument to internal function");
            return false;
        }
        out.clear();
        append_borrowed(out, slots, n);
        return true;
    }
    PyErr_SetString(PyExc_TypeError, message);
    return false;
}

}  // namespace lumo
