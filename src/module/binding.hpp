// Argument binding for the fast-call-with-keywords methods, and the parameter kinds.
// Binding itself runs no Python code; converting a typed parameter may (__index__, nb_bool).
#pragma once

#include "core/owned.hpp"

#include <array>
#include <cstdint>
#include <span>

namespace lumo {

enum class ParamKind { Unsigned64, Signed64, StrictBool, TypeObject, List, Any };

struct Param {
    const char *name;
    ParamKind kind;
    bool required;
};

struct Signature {
    const char *method;
    std::span<const Param> params;
};

// One bound parameter after conversion. `object` is borrowed from the call's arguments and is
// nullptr when the argument was omitted (or was an explicit None for a None default).
struct Value {
    PyObject *object = nullptr;
    std::uint64_t u64 = 0;
    std::int64_t i64 = 0;
    bool flag = false;
};

constexpr std::size_t max_params = 4;

class Args {
public:
    // Binds positional and keyword arguments to the signature's parameters. False with
    // TypeError set on a surplus, missing, unknown or doubly given argument.
    bool bind(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept;
    // Converts the typed parameters in parameter order. False with an exception set.
    // may run Python (__index__, a NumPy truth slot)
    bool convert() noexcept;

    const Value &operator[](std::size_t i) const noexcept { return values_[i]; }
    PyObject *object(std::size_t i) const noexcept { return values_[i].object; }

private:
    const Signature *sig_ = nullptr;
    std::array<Value, max_params> values_{};
};

// Binds and converts in the calling order every method follows around its access.
// Usage: `if (!args.bind(...)) return nullptr; SharedAccess access(self); ...; args.convert()`.

}  // namespace lumo
