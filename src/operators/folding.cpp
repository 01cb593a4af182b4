// Folding and key extremes: aggregate, min_by, max_by. The fold function, key selectors, the
// keys' rich comparisons and truth tests run Python code under shared access; keys that are
// ints, floats or strs are compared here instead, with the same answers.
#include "calls/callback.hpp"
#include "core/binding.hpp"
#include "core/errors.hpp"
#include "operators/native_keys.hpp"
#include "operators/operators.hpp"

namespace lumo {

namespace {

// The item whose key is strictly best under `op` (Py_LT for min_by, Py_GT for max_by); the
// earliest wins ties. Returns a new reference, None for an empty receiver, or nullptr.
PyObject *extreme_by(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, const Signature &sig,
                     int op) {
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    const ItemVec &items = self->items();
    if (items.empty()) Py_RETURN_NONE;
    Callback key_selector(a.object(0), 1);
    PyObject *best = items[0].get();  // held by the receiver
    Owned best_key{key_selector(best)};  // may run Python
    if (!best_key) return nullptr;
    // Two ints, floats or strs compare here as the interpreter compares them, and a number
    // never against a str, where `<` raises. The rich comparison's recursion check is the
    // only other thing that could make it differ: where it would fail, every pair goes there.
    const bool native = recursion_headroom(1);
    Scalar best_scalar;
    bool best_native = native && scalar_of(best_key.get(), best_scalar);
    for (std::size_t i = 1; i < items.size(); ++i) {
        key_selector.prefetch(items.data(), i, items.size());
        PyObject *item = items[i].get();
        Owned key{key_selector(item)};  // may run Python
        if (!key) return nullptr;
        Scalar scalar;
        int better = 0;
        if (best_native && scalar_of(key.get(), scalar) && !scalars_unordered(scalar, best_scalar)) {
            better = op == Py_LT ? scalar_less(scalar, best_scalar) : scalar_less(best_scalar, scalar);
        } else {
            Owned result{PyObject_RichCompare(key.get(), best_key.get(), op)};
            if (!result) return nullptr;  // a failing comparison propagates
            better = PyObject_IsTrue(result.get());
            if (better < 0) {
                if (!discard_pending_error()) return nullptr;  // only an ordinary truth failure counts as false
                better = 0;
            }
        }
        if (better) {
            best = item;
            best_key = std::move(key);
            best_native = native && scalar_of(best_key.get(), best_scalar);
        }
    }
    return Py_NewRef(best);
}

constexpr Param key_selector_param[] = {{"key_selector", ParamKind::Any, true}};

}  // namespace

PyObject *op_aggregate(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"func", ParamKind::Any, true}, {"seed", ParamKind::Any, false}};
    static constexpr Signature sig{"aggregate", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    if (self->items().empty()) {
        PyErr_SetString(PyExc_ValueError, "Cannot aggregate an empty sequence");
        return nullptr;
    }
    std::size_t first = 0;
    Owned accumulator;
    if (a.object(1) != nullptr) {
        accumulator = Owned::borrow(a.object(1));
    } else {
        accumulator = Owned::borrow(self->items()[0].get());
        first = 1;
    }
    const ItemVec &items = self->items();
    Callback func(a.object(0), 2);
    for (std::size_t i = first; i < items.size(); ++i) {
        func.prefetch(items.data(), i, items.size());
        Owned next{func(accumulator.get(), items[i].get())};  // may run Python
        if (!next) return nullptr;
        accumulator = std::move(next);
    }
    return accumulator.release();
}

PyObject *op_min_by(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"min_by", key_selector_param};
    return extreme_by(self, args, nargs, kwnames, sig, Py_LT);
}

PyObject *op_max_by(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"max_by", key_selector_param};
    return extreme_by(self, args, nargs, kwnames, sig, Py_GT);
}

}  // namespace lumo
