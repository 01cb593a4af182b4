/* Reads of the interpreter's private structures, compiled against the running version's own
 * internal headers (the build picks them from the same include directory as Python.h), so every
 * layout is the one of the interpreter the module is built for. Nothing here runs Python code. */
#define Py_BUILD_CORE_MODULE 1
#include "calls/interpreter.h"

// The interpreter's internal headers are not written for our warning flags.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wsign-compare"
#include "internal/pycore_code.h"
#include "internal/pycore_dict.h"
#include "internal/pycore_interp.h"
#include "internal/pycore_object.h"

#if PY_VERSION_HEX >= 0x030D0000
#define NEED_OPCODE_METADATA
#include "internal/pycore_opcode_metadata.h"
#else
#define NEED_OPCODE_TABLES
#include "internal/pycore_opcode.h"
#endif

#if PY_VERSION_HEX >= 0x030E0000
#include "internal/pycore_opcode_utils.h"
#endif
#pragma GCC diagnostic pop

const size_t lumo_dict_keys_kind_offset = offsetof(PyDictKeysObject, dk_kind);
const uint8_t lumo_dict_keys_general = DICT_KEYS_GENERAL;

static int dict_names_are_strs(PyObject *dict) {
    return dict == NULL || ((PyDictObject *)dict)->ma_keys->dk_kind != DICT_KEYS_GENERAL;
}

int lumo_instance_names_are_strs(PyObject *obj) {
    PyTypeObject *type = Py_TYPE(obj);
    if (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
#if PY_VERSION_HEX >= 0x030D0000
        /* Values kept inline are indexed by the type's shared keys, which are strs only. */
        if ((type->tp_flags & Py_TPFLAGS_INLINE_VALUES) && _PyObject_InlineValues(obj)->valid) return 1;
        return dict_names_are_strs((PyObject *)_PyObject_GetManagedDict(obj));
#else
        PyDictOrValues dorv = *_PyObject_DictOrValuesPointer(obj);
        if (_PyDictOrValues_IsValues(dorv)) return 1;
        return dict_names_are_strs(_PyDictOrValues_GetDict(dorv));
#endif
    }
    if (type->tp_dictoffset == 0) return 1;
    if (type->tp_dictoffset < 0) return 0; /* at the end of a variable-size object: not looked at */
    return dict_names_are_strs(*(PyObject **)((char *)obj + type->tp_dictoffset));
}

const uint8_t *lumo_global_monitors(size_t *count) {
    PyInterpreterState *interp = PyInterpreterState_Get();
    *count = sizeof(interp->monitors.tools);
    return interp->monitors.tools;
}

int lumo_code_has_local_monitors(PyCodeObject *code) {
    if (code->_co_monitoring == NULL) return 0;
    const uint8_t *tools = code->_co_monitoring->local_monitors.tools;
    for (size_t i = 0; i < sizeof(code->_co_monitoring->local_monitors.tools); ++i) {
        if (tools[i] != 0) return 1;
    }
    return 0;
}

int lumo_opcode_caches(int opcode) {
    return opcode >= 0 && opcode < 256 ? _PyOpcode_Caches[opcode] : 0;
}

PyObject *lumo_common_constant(int index) {
#if defined(CONSTANT_NONE) && defined(CONSTANT_MINUS_ONE)
    switch (index) {
    case CONSTANT_NONE:
    case CONSTANT_EMPTY_STR:
    case CONSTANT_TRUE:
    case CONSTANT_FALSE:
    case CONSTANT_MINUS_ONE:
        return PyInterpreterState_Get()->common_consts[index];
    default:
        return NULL;
    }
#else
    (void)index;
    return NULL;
#endif
}
