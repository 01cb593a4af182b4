// The LumoSeq object, its storage and the ways results are born. A sequence never changes after
// creation; its access flag (core/access.hpp) only orders skip against readers. A result whose
// items are exactly its receiver's shares the receiver's storage instead of copying it.
#pragma once

#include "core/owned.hpp"

#include <atomic>
#include <cstdint>

namespace lumo {

// No constructor ever runs: PyObject_GC_New allocates the object and allocate_seq sets each field.
// cppcheck-suppress-begin uninitMemberVarNoCtor
//
// Storage is owned by exactly one sequence. A sharer holds a strong reference to that owner, never
// to another sharer, so sharing never builds chains; its own `storage` stays empty. Only the owner
// visits and releases the item references, so the collector sees each of them exactly once.
struct Seq {
    PyObject_HEAD
    ItemVec storage;  // the item vector, when this sequence owns it
    Seq *owner;       // strong reference to the sequence whose storage this one shares, or nullptr
    std::uint64_t cursor;
    std::atomic<std::int64_t> access_flag;  // 0 free, n > 0 shared readers, -1 exclusive

    const ItemVec &items() const noexcept { return owner != nullptr ? owner->storage : storage; }
};
// cppcheck-suppress-end uninitMemberVarNoCtor

// Set once by module initialisation; the type lives for the rest of the process.
extern PyTypeObject *seq_type;

inline bool is_seq(PyObject *o) noexcept { return Py_IS_TYPE(o, seq_type); }
inline Seq *as_seq(PyObject *o) noexcept { return reinterpret_cast<Seq *>(o); }

// Releases what `self` holds: its items from index 0 upward, or its owner. Runs in dealloc; may
// run finalizers.
void release_seq_fields(Seq *self) noexcept;

// Visits every strong reference `self` holds besides its type. For tp_traverse.
int visit_seq_fields(Seq *self, visitproc visit, void *arg) noexcept;

// The one way results are born. Moves `items` in; returns a new reference, or nullptr with
// MemoryError set, in which case the references of `items` have been released. `drawn_from`, when
// given, is a sequence that holds every one of `items`: if the collector does not track it, no
// item can lie on a cycle, and the result is left untracked without looking at each item.
PyObject *new_sequence(ItemVec &&items, std::uint64_t cursor, const Seq *drawn_from = nullptr) noexcept;

// Whether `item` could lie on a reference cycle. Objects the collector never tracks (ints, strs,
// floats, None) cannot, and neither can tuples or sequences that it does not track: their items
// are fixed and none of them could, so they never start being tracked again. (A container that a
// result in the making holds untracked for now is judged by what it holds instead: see Result.)
inline bool may_lie_on_cycle(PyObject *item) noexcept {
    PyTypeObject *type = Py_TYPE(item);
    if (!PyType_IS_GC(type)) return false;  // PyObject_IS_GC, inline: this runs once per item
    if (type->tp_is_gc != nullptr && !type->tp_is_gc(item)) return false;
    if (PyTuple_CheckExact(item) || is_seq(item)) return PyObject_GC_IsTracked(item) != 0;
    return true;
}

// Whether any item of the tuple `tuple` may lie on a cycle, and so the tuple itself. A tuple that
// tuple() is still filling has empty (NULL) slots, and a callback can hand one over (it is tracked,
// so gc.get_referrers finds it): what fills them later is unknown, so such a tuple may lie on a
// cycle, as CPython's own _PyTuple_MaybeUntrack decides when it leaves one tracked.
inline bool tuple_may_lie_on_cycle(PyObject *tuple) noexcept {
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(tuple); i < n; ++i) {
        PyObject *item = PyTuple_GET_ITEM(tuple, i);
        if (item == nullptr || may_lie_on_cycle(item)) return true;
    }
    return false;
}

// The items of a result in the making, with what the collector needs to know of them, learned as
// each one is stored (while it is at hand) instead of in a pass of its own at the end.
//
// Containers the operator makes itself (tuples, sequences) stay out of the collector's lists until
// the result is complete: nothing but the operator can reach them meanwhile, and a collection that
// runs while a callback runs then has none of them to walk, however many there are. When the
// result is made, those that hold an item that may lie on a cycle start being tracked, as CPython
// tracks every new container; the others never are, as CPython's collector would decide for a
// tuple of such items at its next pass. So a program sees, through `gc` only, the operator's new
// containers untracked while it runs and tuples of plain values untracked from the start.
class Result {
public:
    void reserve(std::size_t n) { items_.reserve(n); }
    std::size_t size() const noexcept { return items_.size(); }

    // Stores an object the operator did not make (a callback's answer, an item of an input). A
    // tuple none of whose items may lie on a cycle stops being tracked here, as CPython's collector
    // would stop tracking it at its next pass over it; its items were just made or read, so they
    // are at hand now, and collections that callbacks let run meanwhile need not walk it.
    void add(Owned item) {
        PyObject *o = item.get();
        if (PyTuple_CheckExact(o) && PyObject_GC_IsTracked(o) && !tuple_may_lie_on_cycle(o)) PyObject_GC_UnTrack(o);
        cyclic_ = cyclic_ || may_lie_on_cycle(o);
        items_.push_back(std::move(item));
    }
    // Stores an untracked container the operator has just made, holding an item that may lie on a
    // cycle when `needs_tracking`.
    void add_fresh(Owned container, bool needs_tracking) {
        items_.push_back(std::move(container));
        if (needs_tracking) pending_.push_back(items_.back().get());
    }

    // Tracks the containers that need it and makes the sequence, as new_sequence does. Returns a new
    // reference, or nullptr with MemoryError set (the items then released).
    PyObject *finish(std::uint64_t cursor) noexcept;

private:
    ItemVec items_;
    PyMemVec<PyObject *> pending_;  // borrowed from items_: fresh containers to track at the end
    bool cyclic_ = false;           // an item of someone else's making may lie on a cycle
};

// A new tuple of `count` new references to the objects at `first`, untracked, for a Result's
// add_fresh; `needs_tracking` tells whether any of them may lie on a cycle. nullptr with
// MemoryError set.
PyObject *new_fresh_tuple(PyObject *const *first, std::size_t count, bool &needs_tracking) noexcept;

// A copy of the references stored in `list` (a list or a subclass, whose own __iter__ or
// __getitem__ is never run) with `cursor`, which the caller has checked against the list's length:
// the constructor's sequence (cursor 0) and an unpickled one. Runs no Python code before the copy
// is complete. Returns a new reference, or nullptr with MemoryError set; may throw std::bad_alloc.
PyObject *new_sequence_from_list(PyObject *list, std::uint64_t cursor);

// A new sequence with exactly the items of `receiver` and `cursor`, sharing the receiver's storage:
// constant time, whatever the length. Returns a new reference, or nullptr with MemoryError set.
PyObject *new_sharing_sequence(Seq *receiver, std::uint64_t cursor) noexcept;

// Copies all item references of `s` (one new reference each), exactly sized.
inline ItemVec copy_items(const Seq *s) {
    ItemVec out;
    append_items(out, s->items().data(), s->items().size());
    return out;
}

}  // namespace lumo
