// Module initialisation: single-phase, one interpreter per process, the same module object on
// re-import. Runs no user code.
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
    Owned module{PyModule_Create2(&module_def, 1013)};
    if (!module) return nullptr;
    PyTypeObject *type = get_seq_type();
    // The function first: once the class is reachable, its sequences may be pickled.
    if (type == nullptr || add_restore_function(module.get()) < 0 || add_class(module.get(), type) < 0) return nullptr;
    the_module = Py_NewRef(module.get());
    return module.release();
}
