// Keys whose comparisons run no Python code and whose answers are known here exactly: exact ints
// that fit in 64 bits (True and False too: bool keeps int's comparisons), exact floats and exact
// strs. order_by, min_by and max_by compare them here instead of through the interpreter; every
// answer below is the one the interpreter's rich comparison gives for the same two objects.
#pragma once

#include "core/owned.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace lumo {

struct Scalar {
    enum class Kind : std::uint8_t { Int, Float, Str };
    Kind kind;
    union {
        std::int64_t i;        // Int
        double d;              // Float
        std::uint64_t prefix;  // Str, where a caller packs its first code points here
    };
    PyObject *object;  // borrowed from whoever holds the key
};

// The value of an int (exact, or a bool) when it fits in 64 bits: true and `out` set, or false.
// Calls nothing: the compact form is read in place, and a larger int is never converted through
// __index__.
inline bool int64_of(PyObject *number, std::int64_t &out) noexcept {
    auto *digits = reinterpret_cast<PyLongObject *>(number);
    if (PyUnstable_Long_IsCompact(digits)) {
        out = PyUnstable_Long_CompactValue(digits);
        return true;
    }
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(number, &overflow);  // cannot fail on an int
    return overflow == 0;
}

// Fills `out` and returns true when `o` is such a key. Reads no attribute and calls nothing.
inline bool scalar_of(PyObject *o, Scalar &out) noexcept {
    out.object = o;
    if (PyLong_CheckExact(o) || o == Py_True || o == Py_False) {
        out.kind = Scalar::Kind::Int;
        return int64_of(o, out.i);
    }
    if (PyFloat_CheckExact(o)) {
        out.kind = Scalar::Kind::Float;
        out.d = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyUnicode_CheckExact(o)) {
        out.kind = Scalar::Kind::Str;
        return true;
    }
    return false;
}

// An int against a float, exactly, as the interpreter compares them (the int is never rounded):
// -1, 0 or 1 as i is below, equal to or above d; 2 when d is NaN.
inline int compare_int_float(std::int64_t i, double d) noexcept {
    if (std::isnan(d)) return 2;
    if (d >= 9223372036854775808.0) return -1;  // 2**63 and beyond, infinity included
    if (d < -9223372036854775808.0) return 1;
    double whole = std::trunc(d);
    auto t = static_cast<std::int64_t>(whole);  // exact: |whole| < 2**63
    if (i != t) return i < t ? -1 : 1;
    double fraction = d - whole;
    return fraction > 0 ? -1 : fraction < 0 ? 1 : 0;
}

namespace detail {

template <class A, class B>
int compare_code_units(const A *a, const B *b, Py_ssize_t n) noexcept {
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

template <class A>
int compare_with(const A *a, int kind_b, const void *b, Py_ssize_t n) noexcept {
    switch (kind_b) {
    case PyUnicode_1BYTE_KIND: return compare_code_units(a, static_cast<const Py_UCS1 *>(b), n);
    case PyUnicode_2BYTE_KIND: return compare_code_units(a, static_cast<const Py_UCS2 *>(b), n);
    default: return compare_code_units(a, static_cast<const Py_UCS4 *>(b), n);
    }
}

}  // namespace detail

// Code-point order of two strs from position `from` on (both at least that long): negative,
// zero or positive, as str's own `<` orders them.
inline int compare_str(PyObject *a, PyObject *b, Py_ssize_t from = 0) noexcept {
    Py_ssize_t la = PyUnicode_GET_LENGTH(a), lb = PyUnicode_GET_LENGTH(b);
    Py_ssize_t n = std::min(la, lb) - from;
    int ka = PyUnicode_KIND(a), kb = PyUnicode_KIND(b);
    const void *da = PyUnicode_DATA(a), *db = PyUnicode_DATA(b);
    int c = 0;
    if (n > 0) {
        if (ka == PyUnicode_1BYTE_KIND && kb == PyUnicode_1BYTE_KIND) {
            c = std::memcmp(static_cast<const char *>(da) + from, static_cast<const char *>(db) + from,
                            static_cast<std::size_t>(n));
        } else if (ka == PyUnicode_1BYTE_KIND) {
            c = detail::compare_with(static_cast<const Py_UCS1 *>(da) + from, kb,
                                     static_cast<const char *>(db) + from * kb, n);
        } else if (ka == PyUnicode_2BYTE_KIND) {
            c = detail::compare_with(static_cast<const Py_UCS2 *>(da) + from, kb,
                                     static_cast<const char *>(db) + from * kb, n);
        } else {
            c = detail::compare_with(static_cast<const Py_UCS4 *>(da) + from, kb,
                                     static_cast<const char *>(db) + from * kb, n);
        }
    }
    if (c != 0) return c;
    return la < lb ? -1 : la > lb ? 1 : 0;
}

// str's `==`: the interpreter compares the stored units, so two storage kinds never match.
inline bool str_equal(PyObject *a, PyObject *b) noexcept {
    if (a == b) return true;
    Py_ssize_t len = PyUnicode_GET_LENGTH(a);
    int kind = PyUnicode_KIND(a);
    return PyUnicode_GET_LENGTH(b) == len && PyUnicode_KIND(b) == kind &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(len) * kind) == 0;
}

// Python's `a == b`. A str never equals a number.
inline bool scalars_equal(const Scalar &a, const Scalar &b) noexcept {
    using K = Scalar::Kind;
    if (a.kind == K::Str || b.kind == K::Str) return a.kind == b.kind && str_equal(a.object, b.object);
    if (a.kind == K::Int) return b.kind == K::Int ? a.i == b.i : compare_int_float(a.i, b.d) == 0;
    return b.kind == K::Float ? a.d == b.d : compare_int_float(b.i, a.d) == 0;
}

// Python's `a < b`; false where it raises (a str against a number) and wherever NaN takes part.
inline bool scalar_less(const Scalar &a, const Scalar &b) noexcept {
    using K = Scalar::Kind;
    if (a.kind == K::Str || b.kind == K::Str) return a.kind == b.kind && compare_str(a.object, b.object) < 0;
    if (a.kind == K::Int) return b.kind == K::Int ? a.i < b.i : compare_int_float(a.i, b.d) == -1;
    return b.kind == K::Float ? a.d < b.d : compare_int_float(b.i, a.d) == 1;
}

// Whether `a < b` between these two raises TypeError: a str against a number.
inline bool scalars_unordered(const Scalar &a, const Scalar &b) noexcept {
    return (a.kind == Scalar::Kind::Str) != (b.kind == Scalar::Kind::Str);
}

}  // namespace lumo
