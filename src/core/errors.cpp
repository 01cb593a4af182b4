// The strict boolean rule and the exception-discarding rule.
// strict_bool may run a NumPy scalar's truth slot; nothing else here runs Python code.
#include "core/errors.hpp"

#include <cstring>

namespace lumo {

bool pending_error_is_fatal() noexcept {
    PyObject *exc = PyErr_Occurred();
    return exc != nullptr && (!PyErr_GivenExceptionMatches(exc, PyExc_Exception) ||
                              PyErr_GivenExceptionMatches(exc, PyExc_MemoryError));
}

bool discard_pending_error() noexcept {
    if (pending_error_is_fatal()) return false;
    PyErr_Clear();
    return true;
}

bool recursion_headroom(int levels) noexcept {
#if PY_VERSION_HEX < 0x030E0000 && !defined(USE_STACKCHECK)
    // The count that Py_EnterRecursiveCall takes from: 3.12 fails it at 0, 3.13 below 0, so one
    // more than `levels` suffices for both. Read directly, it costs nothing per call.
    return PyThreadState_Get()->c_recursion_remaining > levels;
#else
    int entered = 0;
    while (entered < levels && Py_EnterRecursiveCall("") == 0) ++entered;
    for (int i = 0; i < entered; ++i) Py_LeaveRecursiveCall();
    if (entered == levels) return true;
    PyErr_Clear();  // the RecursionError of the probe itself
    return false;
#endif
}

namespace {

// A NumPy boolean scalar is recognised by name and module, without importing NumPy: the type is
// named bool_ or bool and lives in module numpy. Reads no attribute through Python code.
bool looks_like_numpy_bool(PyTypeObject *tp) noexcept {
    const char *full = tp->tp_name;
    const char *dot = std::strrchr(full, '.');
    const char *name = dot ? dot + 1 : full;
    if (std::strcmp(name, "bool_") != 0 && std::strcmp(name, "bool") != 0) return false;
    if (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        return dot != nullptr && static_cast<size_t>(dot - full) == 5 && std::strncmp(full, "numpy", 5) == 0;
    }
    // A heap type keeps its module name in its dict.
    PyObject *dict = tp->tp_dict;
    if (dict == nullptr) return false;
    PyObject *module = PyDict_GetItemString(dict, "__module__");  // borrowed
    return module != nullptr && PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "numpy") == 0;
}

}  // namespace

int strict_bool(PyObject *value) noexcept {
    if (value == Py_True) return 1;
    if (value == Py_False) return 0;
    PyTypeObject *tp = Py_TYPE(value);
    // Only a look-alike whose type really has a truth slot passes; one without fails the rule
    // instead of being called through a missing slot.
    if (looks_like_numpy_bool(tp) && tp->tp_as_number != nullptr && tp->tp_as_number->nb_bool != nullptr) {
        int truth = tp->tp_as_number->nb_bool(value);  // may run Python
        return truth < 0 ? -1 : truth != 0;
    }
    Owned qualname{PyType_GetQualName(tp)};
    if (!qualname) return -1;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyBool'", qualname.get());
    return -1;
}

}  // namespace lumo
