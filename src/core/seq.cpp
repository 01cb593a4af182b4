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
PyObject *make_visible(Seq *self, bool track) noexcept {
    if (track) PyObject_GC_Track(self);
    return reinterpret_cast<PyObject *>(self);
}

// A new sequence of `items` (moved in) and `cursor`, not yet visible to the collector. nullptr with
// MemoryError set, the references of `items` then released.
Seq *new_untracked_sequence(ItemVec &&items, std::uint64_t cursor) noexcept {
    ItemVec owned(std::move(items));  // released here if allocation fails
    Seq *self = allocate_seq(seq_type);
    if (self == nullptr) return nullptr;
    self->storage = std::move(owned);
    self->cursor = cursor;
    return self;
}

// Whether a sequence of `items` drawn from `drawn_from` (or from anywhere, when null) should be
// tracked: not when what it was drawn from is untracked, else when an item may lie on a cycle.
bool should_track(const ItemVec &items, const Seq *drawn_from) noexcept {
    const bool acyclic = drawn_from != nullptr && !is_tracked(drawn_from);
    return !acyclic && any_may_lie_on_cycle(items);
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
    Seq *self = new_untracked_sequence(std::move(items), cursor);
    if (self == nullptr) return nullptr;
    return make_visible(self, should_track(self->storage, drawn_from));
}

PyObject *new_fresh_tuple(PyObject *const *first, std::size_t count, bool &needs_tracking) noexcept {
    PyObject *tuple = PyTuple_New(static_cast<Py_ssize_t>(count));
    if (tuple == nullptr) return nullptr;
    if (count != 0) PyObject_GC_UnTrack(tuple);  // () is a shared singleton, never ours to change
    bool cyclic = false;
    for (std::size_t i = 0; i < count; ++i) {
        cyclic = cyclic || may_lie_on_cycle(first[i]);
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), Py_NewRef(first[i]));
    }
    needs_tracking = cyclic && count != 0;
    return tuple;
}

PyObject *Result::finish(std::uint64_t cursor) noexcept {
    for (PyObject *container : pending_) PyObject_GC_Track(container);
    Seq *self = new_untracked_sequence(std::move(items_), cursor);
    if (self == nullptr) return nullptr;
    return make_visible(self, cyclic_ || !pending_.empty());
}

PyObject *new_sequence_from_list(PyObject *list, std::uint64_t cursor) {
    const std::size_t n = static_cast<std::size_t>(PyList_GET_SIZE(list));
    PyObject *const *first = PySequence_Fast_ITEMS(list);
    ItemVec copy;
    copy.reserve(n);
    bool cyclic = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (i + prefetch_distance < n) prefetch(first[i + prefetch_distance]);
        cyclic = cyclic || may_lie_on_cycle(first[i]);  // the item's header is at hand here
        copy.emplace_back(Py_NewRef(first[i]));
    }
    Seq *self = allocate_seq(seq_type);
    if (self == nullptr) return nullptr;  // `copy` releases its references
    self->storage = std::move(copy);
    self->cursor = cursor;
    return make_visible(self, cyclic);
}

PyObject *new_sharing_sequence(Seq *receiver, std::uint64_t cursor) noexcept {
    Seq *owner = receiver->owner != nullptr ? receiver->owner : receiver;
    Seq *self = allocate_seq(seq_type);
    if (self == nullptr) return nullptr;
    self->owner = owner;
    Py_INCREF(owner);
    self->cursor = cursor;
    return make_visible(self, is_tracked(owner));
}

}  // namespace lumo
