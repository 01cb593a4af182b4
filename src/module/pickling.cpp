// Pickling and copying. A pickle names lumo._restore and holds a plain list of the items and the
// cursor; unpickling hands those to _restore, which takes nothing on trust: whatever bytes came
// in, it either builds a sequence that keeps every invariant or raises TypeError or ValueError.
// Deep copies run each item's own copying code under shared access to the receiver.
#include "module/pickling.hpp"

#include "core/binding.hpp"
#include "core/errors.hpp"
#include "module/entry.hpp"
#include "operators/operators.hpp"

namespace lumo {

namespace {

// Strong reference to the module's _restore, kept for the rest of the process like the module.
// Set before the class is added to the module, so no sequence can be pickled without it.
// A pickle finds the function again by its __module__ and __qualname__: "lumo" and "_restore".
PyObject *restore_function = nullptr;

// _restore(items, cursor): the new sequence, or nullptr with TypeError, ValueError or MemoryError
// set. The arguments come from a pickle, which anyone can write: only an exact list and an exact
// int pass, so no Python code of the pickle's making (a list subclass's hooks, an __index__) runs
// here, and the cursor must lie in 0..len(items).
PyObject *restore_sequence(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"items", ParamKind::Any, true}, {"cursor", ParamKind::Any, true}};
    static constexpr Signature sig{"_restore", params};
    Args a;
    if (!a.bind(sig, args, nargs, kwnames)) return nullptr;  // the kinds are Any: nothing to convert
    PyObject *items = a.object(0);
    PyObject *cursor = a.object(1);
    if (!PyList_CheckExact(items)) {
        PyErr_Format(PyExc_TypeError, "_restore() argument 'items' must be a list, not %.200s", Py_TYPE(items)->tp_name);
        return nullptr;
    }
    if (!PyLong_CheckExact(cursor)) {
        PyErr_Format(PyExc_TypeError, "_restore() argument 'cursor' must be an int, not %.200s", Py_TYPE(cursor)->tp_name);
        return nullptr;
    }
    int overflow = 0;
    const long long position = PyLong_AsLongLongAndOverflow(cursor, &overflow);  // an exact int: no Python code
    if (position == -1 && PyErr_Occurred()) return nullptr;
    const Py_ssize_t length = PyList_GET_SIZE(items);
    // Nothing runs between this check and the copy that could change the list's length.
    if (overflow != 0 || position < 0 || position > length) {
        PyErr_Format(PyExc_ValueError, "_restore() argument 'cursor' must be between 0 and the number of items (%zd)",
                     length);
        return nullptr;
    }
    return new_sequence_from_list(items, static_cast<std::uint64_t>(position));
}

PyMethodDef restore_def = {
    "_restore",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry_function<restore_sequence>)),
    METH_FASTCALL | METH_KEYWORDS,
    "_restore(items, cursor)\n--\n\n"
    "Rebuilds a pickled LumoSeq: a new sequence of the list's items with its cursor at the given position.",
};

}  // namespace

int add_restore_function(PyObject *module) noexcept {
    // As PyModule_AddFunctions makes a module's functions: bound to the module, __module__ "lumo".
    Owned name{PyModule_GetNameObject(module)};
    if (!name) return -1;
    Owned function{PyCFunction_NewEx(&restore_def, module, name.get())};
    if (!function || PyModule_AddObjectRef(module, restore_def.ml_name, function.get()) < 0) return -1;
    // An import that failed after this point and is tried again makes a new module: its function
    // is the one pickles must name from then on.
    Py_XSETREF(restore_function, function.release());
    return 0;
}

PyObject *seq_reduce(Seq *self) {
    Owned items{op_list(self)};  // takes shared access, as every reader does
    if (!items) return nullptr;
    Owned cursor{PyLong_FromUnsignedLongLong(self->cursor)};
    if (!cursor) return nullptr;
    Owned args{PyTuple_Pack(2, items.get(), cursor.get())};
    if (!args) return nullptr;
    return PyTuple_Pack(2, restore_function, args.get());
}

PyObject *seq_copy(Seq *self) {
    SharedAccess access(self);
    if (!access) return nullptr;
    return Py_NewRef(reinterpret_cast<PyObject *>(self));
}

PyObject *seq_deepcopy(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"memo", ParamKind::Any, false}};
    static constexpr Signature sig{"__deepcopy__", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    Owned memo = a.object(0) != nullptr ? Owned::borrow(a.object(0)) : Owned(PyDict_New());
    if (!memo) return nullptr;
    Owned copy_module{PyImport_ImportModule("copy")};  // may run Python (the first import)
    if (!copy_module) return nullptr;
    Owned deepcopy{PyObject_GetAttrString(copy_module.get(), "deepcopy")};
    if (!deepcopy) return nullptr;
    const ItemVec &items = self->items();
    ItemVec copies;
    copies.reserve(items.size());
    bool all_themselves = true;
    for (const Owned &item : items) {
        Owned copy{call2(deepcopy.get(), item.get(), memo.get())};  // may run Python
        if (!copy) return nullptr;
        all_themselves = all_themselves && copy.get() == item.get();
        copies.push_back(std::move(copy));
    }
    // As for a tuple: a cycle back to this sequence through a mutable item has already made a copy
    // of it, on the way down, and the memo holds it; that copy is the one the cycle points at.
    Owned key{PyLong_FromVoidPtr(self)};  // id(self)
    if (!key) return nullptr;
    Owned earlier{PyObject_GetItem(memo.get(), key.get())};  // may run Python (a mapping's own lookup)
    if (earlier) return earlier.release();
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
    PyErr_Clear();
    // Items that all copy to themselves make a sequence equal to this one in every way but
    // identity, and a sequence never changes: it is its own deep copy, as an immutable tuple is.
    if (all_themselves) return Py_NewRef(reinterpret_cast<PyObject *>(self));
    return new_sequence(std::move(copies), self->cursor);
}

}  // namespace lumo
