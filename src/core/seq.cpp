// The sequence object's storage: allocation, release, traversal, and result creation.
// Release may run finalizers of items; the vector is detached before any reference goes.
#include "core/seq.hpp"

#include <new>
#include <utility>

namespace lumo {

PyTypeObject *seq_type = nullptr;

namespace {

// Allocates an untracked sequence with no items, cursor 0 and a free access flag. nullptr with
// MemoryError set.
Seq *allocate_seq(PyTypeObject *type) noexcept {
    Seq *self = PyObject_GC_New(Seq, type);
    if (self == nullptr) return nullptr;
    new (&self->storage) ItemVec();
    self->owner = nullptr;
    self->cursor = 0;
    new (&self->access_flag) std::atomic<std::int64_t>(0);
    return self;
}

// Whether `item` could lie on a reference cycle. Objects the collector never tracks (ints, strs,
// floats, None) cannot, and neither can tuples or sequences that it does not track: their items
// are fixed and none of them could, so they never start being tracked again.
bool may_lie_on_cycle(PyObject *item) noexcept {
    PyTypeObject *type = Py_TYPE(item);
    if (!PyType_IS_GC(type)) return false;  // PyObject_IS_GC, inline: this runs once per item
    if (type->tp_is_gc != nullptr && !type->tp_is_gc(item)) return false;
    if (PyTuple_CheckExact(item) || is_seq(item)) return PyObject_GC_IsTracked(item) != 0;
    return true;
}

bool is_tracked(const Seq *s) noexcept {
    return PyObject_GC_IsTracked(reinterpret_cast<PyObject *>(const_cast<Seq *>(s))) != 0;
}

// Whether any of `items` could lie on a cycle; stops at the first that could.
bool any_may_lie_on_cycle(const ItemVec &items) noexcept {
    for (std::size_t i = 0, n = items.size(); i < n; ++i) {
        if (i + prefetch_distance < n) prefetch(items[i + prefetch_distance].get());
        if (may_lie_on_cycle(items[i].get())) return true;
    }
    return false;
}

// Makes a complete sequence visible to the collector, unless no cycle can pass through it: its
// items never change, so one that holds only items off every cycle stays off every cycle, as
// CPython's collector decides for tuples. Sequences of numbers and strings then cost the collector
// nothing, however long they are and however often it runs. Returns `self` as a new reference.
PyObject *finish(Seq *self, bool may_lie_on_cycle) noexcept {
    if (may_lie_on_cycle) PyObject_GC_Track(self);
    return reinterpret_cast<PyObject *>(self);
}

}  // namespace

void release_seq_fields(Seq *self) noexcept {
    Seq *owner = std::exchange(self->owner, nullptr);
    release_items(self->storage);
    self->storage.~ItemVec();
    self->access_flag.~atomic();
    Py_XDECREF(owner);  // the last sharer gone, the owner releases the items
}

int visit_seq_fields(Seq *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(self->owner);
    for (const Owned &item : self->storage) Py_VISIT(item.get());
    return 0;
}

PyObject *new_sequence(ItemVec &&items, std::uint64_t cursor, const Seq *drawn_from) noexcept {
    ItemVec owned(std::move(items));  // released here if allocation fails
    Seq *self = allocate_seq(seq_type);
    if (self == nullptr) return nullptr;
    self->storage = std::move(owned);
    self->cursor = cursor;
    const bool acyclic = drawn_from != nullptr && !is_tracked(drawn_from);
    return finish(self, !acyclic && any_may_lie_on_cycle(self->storage));
}

PyObject *new_sequence_from_list(PyObject *list, std::uint64_t cursor) {
    const std::size_t n = static_cast<std::size_t>(PyList_GET_SIZE(list));
    PyObject *const *first = PySequence_Fast_ITEMS(list);
    ItemVec copy;
    copy.reserve(n);
    bool cyclic = false;
    for (std::size_t i = 0; i < n; ++i) {
        cyclic = cyclic || may_lie_on_cycle(first[i]);  // the item's header is at hand here
        copy.emplace_back(Py_NewRef(first[i]));
    }
    Seq *self = allocate_seq(seq_type);
    if (self == nullptr) return nullptr;  // `copy` releases its references
    self->storage = std::move(copy);
    self->cursor = cursor;
    return finish(self, cyclic);
}

PyObject *new_sharing_sequence(Seq *receiver, std::uint64_t cursor) noexcept {
    Seq *owner = receiver->owner != nullptr ? receiver->owner : receiver;
    Seq *self = allocate_seq(seq_type);
    if (self == nullptr) return nullptr;
    self->owner = owner;
    Py_INCREF(owner);
    self->cursor = cursor;
    return finish(self, is_tracked(owner));
}

}  // namespace lumo
