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

#if PY_VERSION_HEX >= 0x030E0000
namespace {

// A level of a nested comparison or repr takes a few hundred bytes of C stack; a probe level takes
// several times that.
constexpr std::size_t probe_frame_bytes = 2048;

// Makes `levels` nested recursion checks, each from below a frame of its own. False, with nothing
// pending, at the first that fails. Each check is made before going deeper, so the probe never
// runs further below the interpreter's limit than one of its frames.
[[gnu::noinline]] bool nested_checks_pass(int levels) noexcept {
    char frame[probe_frame_bytes];
    asm volatile("" : : "r"(frame) : "memory");  // the frame is really there, below the caller's
    if (Py_EnterRecursiveCall("") != 0) {
        PyErr_Clear();  // the RecursionError of the probe itself
        return false;
    }
    const bool deeper = levels <= 1 || nested_checks_pass(levels - 1);
    Py_LeaveRecursiveCall();
    return deeper;
}

}  // namespace
#endif

bool recursion_headroom(int levels) noexcept {
#if PY_VERSION_HEX < 0x030E0000
    // The count that Py_EnterRecursiveCall takes from: 3.12 fails it at 0, 3.13 below 0, so one
    // more than `levels` suffices for both. Read directly, it costs nothing per call.
    return PyThreadState_Get()->c_recursion_remaining > levels;
#else
    // From 3.14 on a recursion check compares the C stack pointer with a limit, so what counts is
    // how deep the general path's checks would reach. The probe nests its checks deeper than that:
    // larger frames per level, and more levels for the frames between here and the general path's
    // first check. Erring deep only sends borderline cases to the general path, which is exact by
    // definition; the probe costs a few cache lines of stack.
    return nested_checks_pass(levels + 8);
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
