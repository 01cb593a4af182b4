// Argument binding for the fast-call-with-keywords methods, and the parameter kinds.
// Binding itself runs no Python code; converting a typed parameter may (__index__, nb_bool).
#pragma once

#include "core/access.hpp"

#include <array>
#include <optional>
#include <cstdint>
#include <span>

namespace lumo {

enum class ParamKind : std::uint8_t { Unsigned64, Signed64, StrictBool, TypeObject, List, Any };

struct Param {
    const char *name;
    ParamKind kind;
    bool required;
};

struct Signature {
    const char *method = nullptr;
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

// The calling order of every method with parameters: bind the arguments, take access to the
// receiver, convert the typed parameters. False (operator bool) with an exception set when any
// step fails; the access is held until the call object goes out of scope.
template <class Access>
class BoundCall : public Args {
public:
    BoundCall(Seq *self, const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
        if (!bind(sig, args, nargs, kwnames)) return;
        access_.emplace(self);
        ok_ = static_cast<bool>(*access_) && convert();
    }
    explicit operator bool() const noexcept { return ok_; }

private:
    std::optional<Access> access_;
    bool ok_ = false;
};

}  // namespace lumo
