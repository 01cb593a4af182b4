// Prefetching ahead of loops over items that lie scattered in memory. A prefetch is only a hint:
// it never faults and changes nothing a program can see, so a stale or odd address costs at most
// a wasted load. Nothing here runs Python code.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace lumo {

// How far ahead a tight loop (a reference taken or released per item, a few nanoseconds each)
// asks for the header it will touch: far enough that a miss to memory has arrived by then.
inline constexpr std::size_t prefetch_distance = 16;

// Asks for the cache line at `o`. The compiler treats __builtin_prefetch as free to drop, and
// drops it from branches it merges; an asm statement it must keep.
inline void prefetch(const void *o) noexcept {
#if defined(__x86_64__)
    asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char *>(o)));
#else
    __builtin_prefetch(o, 1);
#endif
}

// What Python code reading an item's fields touches after its header: for an exact dict, its key
// table (header, indices and the first entries, where a small dict keeps them all) and its values
// when they are kept apart; for any other object, the line after the header (a tuple's first
// items, an instance's inline attribute values). Reads the header, so that should be on its way
// already.
inline void prefetch_fields(const PyObject *o) noexcept {
    const char *line = reinterpret_cast<const char *>(o);
    if (PyDict_CheckExact(o)) {
        const auto *dict = reinterpret_cast<const PyDictObject *>(o);
        const char *keys = reinterpret_cast<const char *>(dict->ma_keys);
        for (int i = 0; i < 6; ++i) prefetch(keys + 64 * i);
        if (dict->ma_values != nullptr) prefetch(dict->ma_values);
    } else {
        prefetch(line + 64);
    }
}

// For a loop that calls Python code on each item in order, each call taking tens of nanoseconds
// or more, such as a key function or a projection. Before each call it brings in the header of
// the item two steps of `calls_ahead` away, and the fields of the one `calls_ahead` away, whose
// header the earlier step brought in. Memory latency is then hidden behind the calls on the items
// before them, in whatever order the items lie.
//
// A projection or key of records is most often one field, `f["name"]`, and records read from one
// source keep their fields in the same order. So when the calls keep answering the value stored
// at one position of an exact dict item, that position's value is asked for too, half as far
// ahead, once the item's table is in. The position is learned by looking (PyDict_Next, which runs
// no Python code) and given up after a few answers that are no stored value.
class CallPrefetch {
public:
    static constexpr std::size_t calls_ahead = 6;  // four or eight hide about as much, measured

    template <class Ref>
    void before(const Ref *items, std::size_t i, std::size_t n) noexcept {
        if (i + 2 * calls_ahead < n) prefetch(items[i + 2 * calls_ahead].get());
        if (i + calls_ahead < n) prefetch_fields(items[i + calls_ahead].get());
        if (position_ >= 0 && i + calls_ahead / 2 < n) prefetch_value(items[i + calls_ahead / 2].get());
    }

    // After the call on `item` answered `answer` (borrowed).
    void after(PyObject *item, PyObject *answer) noexcept {
        if (position_ < 0 && lookups_left_ == 0) return;
        if (!PyDict_CheckExact(item)) return;
        if (position_ >= 0 && value_at(item, position_) == answer) return;
        position_ = -1;
        if (lookups_left_ == 0) return;
        --lookups_left_;
        Py_ssize_t pos = 0, before_next = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (before_next = pos, PyDict_Next(item, &pos, &key, &value)) {
            if (value == answer) {
                position_ = before_next;
                return;
            }
        }
    }

private:
    // The value stored at entry `position` of the exact dict `dict` or after it, or null. Borrowed.
    static PyObject *value_at(PyObject *dict, Py_ssize_t position) noexcept {
        PyObject *key = nullptr, *value = nullptr;
        return PyDict_Next(dict, &position, &key, &value) ? value : nullptr;
    }

    void prefetch_value(PyObject *item) const noexcept {
        if (!PyDict_CheckExact(item)) return;
        if (PyObject *value = value_at(item, position_)) prefetch(value);
    }

    Py_ssize_t position_ = -1;  // the entry whose value the calls answer, or -1
    int lookups_left_ = 4;      // learnings still allowed
};

}  // namespace lumo
