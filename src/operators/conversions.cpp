// Conversions back to Python values and element access. `set` runs the items' __hash__ and
// __eq__, and `at` converts its index through __index__; the receiver is under shared access
// throughout, and nothing here changes it.
#include "core/binding.hpp"
#include "operators/operators.hpp"

namespace lumo {

namespace {

// Returns a new list of the receiver's items, or nullptr.
PyObject *items_as_list(const Seq *self) noexcept {
    const ItemVec &items = self->items();
    const std::size_t n = items.size();
    Owned list{PyList_New(static_cast<Py_ssize_t>(n))};
    if (!list) return nullptr;
    PyObject **slots = PySequence_Fast_ITEMS(list.get());
    for (std::size_t i = 0; i < n; ++i) {
        if (i + prefetch_distance < n) prefetch(items[i + prefetch_distance].get());
        slots[i] = Py_NewRef(items[i].get());
    }
    return list.release();
}

// Returns a new reference to `item`, or to the caller's default, or to None.
PyObject *item_or_default(PyObject *item, PyObject *fallback) noexcept {
    if (item != nullptr) return Py_NewRef(item);
    return Py_NewRef(fallback != nullptr ? fallback : Py_None);
}

constexpr Param default_only[] = {{"default", ParamKind::Any, false}};

}  // namespace

PyObject *op_list(Seq *self) {
    SharedAccess access(self);
    if (!access) return nullptr;
    return items_as_list(self);
}

PyObject *op_tuple(Seq *self) {
    SharedAccess access(self);
    if (!access) return nullptr;
    const std::size_t n = self->items().size();
    PyObject *tuple = PyTuple_New(static_cast<Py_ssize_t>(n));
    if (tuple == nullptr) return nullptr;
    const ItemVec &items = self->items();
    for (std::size_t i = 0; i < n; ++i) {
        if (i + prefetch_distance < n) prefetch(items[i + prefetch_distance].get());
        PyTuple_SET_ITEM(tuple, i, Py_NewRef(items[i].get()));
    }
    return tuple;
}

PyObject *op_set(Seq *self) {
    SharedAccess access(self);
    if (!access) return nullptr;
    Owned set{PySet_New(nullptr)};
    if (!set) return nullptr;
    for (const Owned &item : self->items()) {
        if (PySet_Add(set.get(), item.get()) < 0) return nullptr;  // may run Python
    }
    return set.release();
}

PyObject *op_iter(Seq *self) {
    SharedAccess access(self);
    if (!access) return nullptr;
    Owned list{items_as_list(self)};
    if (!list) return nullptr;
    return PyObject_GetIter(list.get());
}

PyObject *op_len(Seq *self) {
    SharedAccess access(self);
    if (!access) return nullptr;
    return PyLong_FromUnsignedLongLong(self->items().size());
}

PyObject *op_empty(Seq *self) {
    SharedAccess access(self);
    if (!access) return nullptr;
    return PyBool_FromLong(self->items().empty());
}

PyObject *op_at(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"index", ParamKind::Signed64, true}, {"default", ParamKind::Any, false}};
    static constexpr Signature sig{"at", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    const auto length = static_cast<std::int64_t>(self->items().size());
    std::int64_t position = a[0].i64;
    if (position < 0) position += length;  // cannot overflow: length is far below 2^63
    PyObject *item = (position >= 0 && position < length) ? self->items()[position].get() : nullptr;
    return item_or_default(item, a.object(1));
}

PyObject *op_first(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"first", default_only};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    return item_or_default(self->items().empty() ? nullptr : self->items().front().get(), a.object(0));
}

PyObject *op_last(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"last", default_only};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    return item_or_default(self->items().empty() ? nullptr : self->items().back().get(), a.object(0));
}

}  // namespace lumo
