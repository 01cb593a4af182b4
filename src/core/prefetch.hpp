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
        for (std::size_t line = 0; line < 6; ++line) prefetch(keys + 64 * line);
        if (dict->ma_values != nullptr) prefetch(dict->ma_values);
    } else {
        prefetch(line + 64);
    }
}

// For a loop that calls Python code on each item in order, each call taking tens of nanoseconds
// or more, such as a key function or a projection: brings in the header of the item two steps of
// `calls_ahead` away, and the fields of the one `calls_ahead` away, whose header the earlier step
// brought in. Memory latency is then hidden behind the calls on the items before them, in
// whatever order the items lie; on items that lie in order, it costs a few instructions per call.
// (Measured on records scattered over the heap: six calls ahead hides most of it; four or eight,
// about as much. Asking for the value a key function reads, learned with PyDict_Next, hid little
// more and cost more than the call itself on records in cache.)
inline constexpr std::size_t calls_ahead = 6;

template <class Ref>
inline void prefetch_for_calls(const Ref *items, std::size_t i, std::size_t n) noexcept {
    if (i + 2 * calls_ahead < n) prefetch(items[i + 2 * calls_ahead].get());
    if (i + calls_ahead < n) prefetch_fields(items[i + calls_ahead].get());
}

}  // namespace lumo
