// Sequence arguments. Reads a list's or tuple's storage directly, so a subclass's __iter__ or
// __getitem__ never runs and the argument cannot change while it is copied.
#include "operators/sequence_arguments.hpp"

#include "core/access.hpp"

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
        out.clear();
        append_borrowed(out, PySequence_Fast_ITEMS(argument), static_cast<std::size_t>(PyTuple_GET_SIZE(argument)));
        return true;
    }
    PyErr_SetString(PyExc_TypeError, message);
    return false;
}

}  // namespace lumo
