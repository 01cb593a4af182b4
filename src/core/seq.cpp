// The sequence object's storage: allocation, release, traversal, and result creation.
// Release may run finalizers of items; the vector is detached before any reference goes.
#include "core/seq.hpp"

#include <new>
#include <utility>

namespace lumo {

PyTypeObject *seq_type = nullptr;

Seq *allocate_seq(PyTypeObject *type) noexcept {
    Seq *self = PyObject_GC_New(Seq, type);
    if (self == nullptr) return nullptr;
    new (&self->storage) ItemVec();
    self->owner = nullptr;
    self->cursor = 0;
    new (&self->access_flag) std::atomic<std::int64_t>(0);
    return self;
}

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

PyObject *new_sequence(ItemVec &&items, std::uint64_t cursor) noexcept {
    ItemVec owned(std::move(items));  // released here if allocation fails
    Seq *self = allocate_seq(seq_type);
    if (self == nullptr) return nullptr;
    self->storage = std::move(owned);
    self->cursor = cursor;
    PyObject_GC_Track(self);  // visible to the collector only once complete
    return reinterpret_cast<PyObject *>(self);
}

PyObject *new_sharing_sequence(Seq *receiver, std::uint64_t cursor) noexcept {
    Seq *owner = receiver->owner != nullptr ? receiver->owner : receiver;
    Seq *self = allocate_seq(seq_type);
    if (self == nullptr) return nullptr;
    self->owner = owner;
    Py_INCREF(owner);
    self->cursor = cursor;
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject *>(self);
}

}  // namespace lumo
