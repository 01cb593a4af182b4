// Module initialisation: single-phase, one interpreter per process, the same module object on
// re-import. Runs no user code.
#include "calls/callback.hpp"
#include "module/pickling.hpp"
#include "module/type.hpp"

#include <atomic>
#include <cstdint>

namespace lumo {
namespace {

std::atomic<std::int64_t> owner_interpreter{-1};
PyObject *the_module = nullptr;  // kept for the rest of the process

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "lumo", "C#-like querying module", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// _native_evaluations(): how many calls of user callables have been answered without the
// interpreter since the module loaded. For tests that must know the native path ran.
PyObject *native_evaluations_count(PyObject *, PyObject *) noexcept {
    return PyLong_FromUnsignedLongLong(native_evaluations());
}

// _set_native(on): turns native evaluation on or off for the whole process, as LUMO_NATIVE=0 does
// at start-up; returns whether it was on. For differential tests of both paths in one process.
PyObject *set_native(PyObject *, PyObject *on) noexcept {
    const int flag = PyObject_IsTrue(on);  // may run Python (__bool__)
    if (flag < 0) return nullptr;
    return PyBool_FromLong(set_native_evaluation(flag != 0));
}

PyMethodDef test_hooks[] = {
    {"_native_evaluations", native_evaluations_count, METH_NOARGS,
     "_native_evaluations($module, /)\n--\n\nThe number of calls answered without the interpreter so far."},
    {"_set_native", set_native, METH_O,
     "_set_native($module, on, /)\n--\n\nTurns native evaluation of simple functions on or off; returns the state before."},
    {nullptr, nullptr, 0, nullptr},
};

// Adds the class to the module and to its __all__. -1 with an exception set.
int add_class(PyObject *module, PyTypeObject *type) noexcept {
    Owned all{PyObject_GetAttrString(module, "__all__")};
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = Owned(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    Owned name{PyUnicode_FromString("LumoSeq")};
    if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
    return PyObject_SetAttrString(module, "LumoSeq", reinterpret_cast<PyObject *>(type));
}

}  // namespace
}  // namespace lumo

PyMODINIT_FUNC PyInit_lumo(void) {
    using namespace lumo;
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError, "lumo can be imported in one interpreter per process only");
        return nullptr;
    }
    if (the_module != nullptr) return Py_NewRef(the_module);
    init_calls();
    Owned module{PyModule_Create2(&module_def, 1013)};
    if (!module || PyModule_AddFunctions(module.get(), test_hooks) < 0) return nullptr;
    PyTypeObject *type = get_seq_type();
    // The function first: once the class is reachable, its sequences may be pickled.
    if (type == nullptr || add_restore_function(module.get()) < 0 || add_class(module.get(), type) < 0) return nullptr;
    the_module = Py_NewRef(module.get());
    return module.release();
}
