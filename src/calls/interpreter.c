/* Reads of the interpreter's private structures, compiled against the running version's own
 * internal headers (the build picks them from the same include directory as Python.h), so every
 * layout is the one of the interpreter the module is built for. Nothing here runs Python code. */
#define Py_BUILD_CORE_MODULE 1
#include "calls/interpreter.h"

#include <string.h>

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

/* Two exact strs are equal when their lengths, kinds and code units are: what the interpreter's
 * own comparison of dict keys checks, after their hashes. */
static inline int str_equal(PyObject *a, PyObject *b) {
    if (a == b) return 1;
    Py_hash_t ha = ((PyASCIIObject *)a)->hash, hb = ((PyASCIIObject *)b)->hash;
    if (ha != -1 && hb != -1 && ha != hb) return 0;
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), (size_t)length * PyUnicode_KIND(a)) == 0;
}

/* The value of entry `ix` of `dict`, whose keys are strs: kept beside the keys in a combined table,
 * apart in a split one. NULL where the entry holds none. */
static inline PyObject *entry_value(PyDictObject *dict, Py_ssize_t ix) {
#if PY_VERSION_HEX >= 0x030D0000
    if (dict->ma_values != NULL) return ix < dict->ma_values->capacity ? dict->ma_values->values[ix] : NULL;
#else
    if (dict->ma_values != NULL) return dict->ma_values->values[ix];
#endif
    return DK_UNICODE_ENTRIES(dict->ma_keys)[ix].me_value;
}

/* How far a missed hint is looked for among the entries: records have a few dozen fields at most;
 * a larger dict is looked up without a hint. */
#define HINT_SCAN 64

int lumo_str_dict_lookup(PyObject *dict, PyObject *key, LumoFieldHint *hint, PyObject **value) {
    PyDictObject *mp = (PyDictObject *)dict;
    PyDictKeysObject *keys = mp->ma_keys;
    if (keys->dk_kind == DICT_KEYS_GENERAL) return -1;
    PyDictUnicodeEntry *entries = DK_UNICODE_ENTRIES(keys);
    size_t ix = (size_t)hint->index;
    /* An entry whose key is this str and whose value is set is the key's one live entry. */
    if (ix < (size_t)keys->dk_nentries) {
        PyObject *found_key = entries[ix].me_key;
        if ((found_key == hint->key && key == hint->wanted) || found_key == key ||
            (found_key != NULL && str_equal(found_key, key))) {
            PyObject *found = entry_value(mp, (Py_ssize_t)ix);
            if (found != NULL) {
                *value = found;
                return 1;
            }
        }
    }
    *value = PyDict_GetItemWithError(dict, key); /* compares strs only: it cannot fail */
    if (*value == NULL) {
        PyErr_Clear();
        return 0;
    }
    Py_ssize_t n = keys->dk_nentries < HINT_SCAN ? keys->dk_nentries : 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (entries[i].me_key != NULL && str_equal(entries[i].me_key, key)) {
            PyObject *old_key = hint->key, *old_wanted = hint->wanted;
            hint->index = i;
            hint->key = Py_NewRef(entries[i].me_key);
            hint->wanted = Py_NewRef(key);
            hint->offset = (const char *)&entries[i] - (const char *)keys;
            Py_XDECREF(old_key); /* strs: their end runs no Python code */
            Py_XDECREF(old_wanted);
            break;
        }
    }
    return 1;
}

Py_ssize_t lumo_inline_attribute_index(PyTypeObject *type, PyObject *name) {
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return -1;
    PyDictKeysObject *keys = ((PyHeapTypeObject *)type)->ht_cached_keys;
    if (keys == NULL || keys->dk_kind == DICT_KEYS_GENERAL) return -1;
    PyDictUnicodeEntry *entries = DK_UNICODE_ENTRIES(keys);
    for (Py_ssize_t ix = 0; ix < keys->dk_nentries; ++ix) {
        if (entries[ix].me_key != NULL && str_equal(entries[ix].me_key, name)) return ix;
    }
    return -1;
}

int lumo_inline_attribute(PyObject *obj, Py_ssize_t index, PyObject **value) {
    PyTypeObject *type = Py_TYPE(obj);
#if PY_VERSION_HEX >= 0x030D0000
    if (!(type->tp_flags & Py_TPFLAGS_INLINE_VALUES)) return 0;
    PyDictValues *values = _PyObject_InlineValues(obj);
    if (!values->valid || index >= values->capacity) return 0;
    *value = values->values[index];
    return 1;
#else
    if (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return 0;
    PyDictOrValues dorv = *_PyObject_DictOrValuesPointer(obj);
    if (!_PyDictOrValues_IsValues(dorv)) return 0;
    *value = _PyDictOrValues_GetValues(dorv)->values[index];
    return 1;
#endif
}

const void *lumo_inline_attribute_address(PyObject *obj, Py_ssize_t index) {
    PyTypeObject *type = Py_TYPE(obj);
#if PY_VERSION_HEX >= 0x030D0000
    if (!(type->tp_flags & Py_TPFLAGS_INLINE_VALUES)) return NULL;
    return &_PyObject_InlineValues(obj)->values[index];
#else
    if (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return NULL;
    PyDictOrValues dorv = *_PyObject_DictOrValuesPointer(obj);
    if (!_PyDictOrValues_IsValues(dorv)) return NULL;
    return &_PyDictOrValues_GetValues(dorv)->values[index];
#endif
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
