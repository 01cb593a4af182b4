// The owned-reference type and the PyMem-backed allocator that every item vector uses.
// Nothing here runs Python code except a DECREF, which may run a finalizer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/prefetch.hpp"

#include <cstddef>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace lumo {

// One strong reference; move-only, so a new reference is always spelled out.
class Owned {
public:
    Owned() noexcept = default;
    explicit Owned(PyObject *stolen) noexcept : p_(stolen) {}
    static Owned borrow(PyObject *b) noexcept { return Owned(Py_XNewRef(b)); }
    Owned(Owned &&o) noexcept : p_(o.release()) {}
    Owned &operator=(Owned &&o) noexcept {
        reset(o.release());
        return *this;
    }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    ~Owned() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    void reset(PyObject *stolen = nullptr) noexcept {
        PyObject *old = std::exchange(p_, stolen);  // store first: the DECREF may run Python
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject *p_ = nullptr;
};

// Routes container memory through PyMem, so tracemalloc sees it and _testcapi.set_nomemory
// can fail it. Callers always hold the interpreter lock, as PyMem_Malloc requires.
template <class T>
struct PyMemAllocator {
    using value_type = T;
    PyMemAllocator() noexcept = default;
    template <class U>
    PyMemAllocator(const PyMemAllocator<U> &) noexcept {}

    T *allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) throw std::bad_array_new_length();
        void *p = PyMem_Malloc(n * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<T *>(p);
    }
    // The cast is spelled out: T is itself a pointer for a deque map or a hash table's buckets.
    void deallocate(T *p, std::size_t) noexcept { PyMem_Free(static_cast<void *>(p)); }

    template <class U>
    bool operator==(const PyMemAllocator<U> &) const noexcept { return true; }
};

template <class T>
using PyMemVec = std::vector<T, PyMemAllocator<T>>;
using ItemVec = PyMemVec<Owned>;
using Bytes = std::basic_string<char, std::char_traits<char>, PyMemAllocator<char>>;


// Releases the references of a vector from index 0 upward, then its storage. The vector is
// detached first, so finalizers that run meanwhile never see it half released. The headers ahead
// are asked for as the loop goes: items that lie scattered otherwise cost a stall each.
inline void release_items(ItemVec &items) noexcept {
    ItemVec doomed;
    doomed.swap(items);
    Owned *slots = doomed.data();
    const std::size_t n = doomed.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i + prefetch_distance < n) prefetch(slots[i + prefetch_distance].get());
        slots[i].reset();  // may run a finalizer
    }
}

// Copies `count` borrowed references starting at `first` into `out` (one new reference each).
// Reserves first, so that no reference is taken before the memory for it exists.
inline void append_borrowed(ItemVec &out, PyObject *const *first, std::size_t count) {
    out.reserve(out.size() + count);
    for (std::size_t i = 0; i < count; ++i) out.push_back(Owned::borrow(first[i]));
}

// Copies the `count` references held at `first` into `out` (one new reference each), reserving
// first. The source is read through a local pointer, so the loop keeps it in registers.
inline void append_items(ItemVec &out, const Owned *first, std::size_t count) {
    out.reserve(out.size() + count);
    for (const Owned *item = first, *end = first + count; item != end; ++item) {
        if (end - item > static_cast<std::ptrdiff_t>(prefetch_distance)) prefetch(item[prefetch_distance].get());
        out.emplace_back(Py_NewRef(item->get()));  // slots are never empty
    }
}

}  // namespace lumo
