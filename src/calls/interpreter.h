/* What native evaluation needs to know of the interpreter's private state: how a dict's keys are
 * kept, where an instance keeps its attributes, whether a monitoring tool is listening, the opcode
 * tables. Each answer is read from the running interpreter's own structures, through its own
 * internal headers, in a C file of its own (they do not compile as C++ on every version). Nothing
 * here runs Python code, allocates or sets an exception. */
#ifndef LUMO_CALLS_INTERPRETER_H
#define LUMO_CALLS_INTERPRETER_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The byte of a PyDictKeysObject that says what kind of keys it holds, and the value that means
 * "any object": every other kind holds exact strs only, and a lookup by an exact str in such a
 * table compares strs only (no __eq__ or __hash__ of a key can run). */
extern const size_t lumo_dict_keys_kind_offset;
extern const uint8_t lumo_dict_keys_general;

/* Where a field was found last: the key looked up, its entry, and the str the dict held there
 * (equal to that key), so that the next dict made alike is read at that entry, for the same key,
 * after comparing pointers. Records read from a file share their field names' strs. Both strs are
 * held (strong references), so no other object can be at their addresses. */
typedef struct {
    Py_ssize_t index;
    PyObject *wanted;
    PyObject *key;
    Py_ssize_t offset; /* of that entry from the start of the dict's keys, for a prefetch */
} LumoFieldHint;

/* The value of the exact str `key` in the exact dict `dict` (borrowed), looked up comparing strs
 * only: 1 and `*value` when the dict holds the key, 0 when it does not, -1 when the dict may hold
 * keys of other types (then the lookup is not made). The entry `hint` names is tried first, and
 * `hint` is left at the entry found. */
int lumo_str_dict_lookup(PyObject *dict, PyObject *key, LumoFieldHint *hint, PyObject **value);

/* Where instances of the heap type `type` keep attribute `name` among the values their type keeps
 * inline in each object (its shared keys' entry), or -1 when they do not keep it there yet. */
Py_ssize_t lumo_inline_attribute_index(PyTypeObject *type, PyObject *name);

/* 1 when `obj` keeps its attributes inline (no dictionary of its own made), with `*value` the one
 * at entry `index` of its type's shared keys (NULL when the object has none there); 0 when it keeps
 * them in a dictionary, which lumo_instance_names_are_strs judges. */
int lumo_inline_attribute(PyObject *obj, Py_ssize_t index, PyObject **value);

/* Where `obj` keeps the value at entry `index` of its type's shared keys, when it keeps its
 * attributes inline, for a prefetch: an address near the object, or NULL. Reads the object's
 * header only. */
const void *lumo_inline_attribute_address(PyObject *obj, Py_ssize_t index);

/* 1 when every attribute `obj` keeps in its instance dictionary (or in the values its type keeps
 * inline in the object) has an exact str name, or it keeps none; 0 when it may hold another key,
 * or keeps its dictionary where this does not look. */
int lumo_instance_names_are_strs(PyObject *obj);

/* The tools' event bits of the current interpreter's global monitoring, `*count` bytes: all zero
 * when no tool (sys.settrace and sys.setprofile included, which are tools too) sees any event. */
const uint8_t *lumo_global_monitors(size_t *count);

/* 1 when a monitoring tool has local events set on `code`. */
int lumo_code_has_local_monitors(PyCodeObject *code);

/* The number of inline cache units that follow `opcode` in a code object's instructions. */
int lumo_opcode_caches(int opcode);

/* The object LOAD_COMMON_CONSTANT `index` pushes, where it is one that evaluation may stand for
 * (None, True, False, the empty str, -1); NULL for any other. Borrowed: each is immortal. */
PyObject *lumo_common_constant(int index);

#ifdef __cplusplus
}
#endif

#endif
