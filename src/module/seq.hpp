// The LumoSeq object, result creation and the access discipline on a sequence.
// A sequence never changes after creation; the access flag only orders skip against readers.
#pragma once

#include "core/owned.hpp"

#include <atomic>
#include <cstdint>

namespace lumo {

// No constructor ever runs: PyObject_GC_New allocates the object and allocate_seq sets each field.
// cppcheck-suppress-begin uninitMemberVarNoCtor
struct Seq {
    PyObject_HEAD
    ItemVec items;
    std::uint64_t cursor;
    std::atomic<std::int64_t> access_flag;  // 0 free, n > 0 shared readers, -1 exclusive
};
// cppcheck-suppress-end uninitMemberVarNoCtor

// Set once by module initialisation; the type lives for the rest of the process.
extern PyTypeObject *seq_type;

inline bool is_seq(PyObject *o) noexcept { return Py_IS_TYPE(o, seq_type); }
inline Seq *as_seq(PyObject *o) noexcept { return reinterpret_cast<Seq *>(o); }

// The one way results are born. Moves `items` in; returns a new reference, or nullptr with
// MemoryError set, in which case the references of `items` have been released.
PyObject *new_sequence(ItemVec &&items, std::uint64_t cursor) noexcept;

// Shared access: any number of readers, refused while skip holds the sequence.
class SharedAccess {
public:
    explicit SharedAccess(Seq *s) noexcept : seq_(s) {
        std::int64_t cur = s->access_flag.load();
        do {
            if (cur == -1) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                seq_ = nullptr;
                return;
            }
        } while (!s->access_flag.compare_exchange_weak(cur, cur + 1));
    }
    ~SharedAccess() {
        if (seq_) seq_->access_flag.fetch_sub(1);
    }
    SharedAccess(const SharedAccess &) = delete;
    SharedAccess &operator=(const SharedAccess &) = delete;
    explicit operator bool() const noexcept { return seq_ != nullptr; }

private:
    Seq *seq_;
};

// Exclusive access: only when nobody else is using the sequence.
class ExclusiveAccess {
public:
    explicit ExclusiveAccess(Seq *s) noexcept : seq_(s) {
        std::int64_t expected = 0;
        if (!s->access_flag.compare_exchange_strong(expected, -1)) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            seq_ = nullptr;
        }
    }
    ~ExclusiveAccess() {
        if (seq_) seq_->access_flag.store(0);
    }
    ExclusiveAccess(const ExclusiveAccess &) = delete;
    ExclusiveAccess &operator=(const ExclusiveAccess &) = delete;
    explicit operator bool() const noexcept { return seq_ != nullptr; }

private:
    Seq *seq_;
};

// Copies all item references of `s` (one new reference each), exactly sized.
inline ItemVec copy_items(const Seq *s) {
    ItemVec out;
    out.reserve(s->items.size());
    for (const Owned &item : s->items) out.push_back(Owned::borrow(item.get()));
    return out;
}

}  // namespace lumo
