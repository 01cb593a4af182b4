// Projection and filtering: select, where, of_type, cast, enumerate. Callbacks, instance checks
// and casts run Python code under shared access; the result is built in a private vector.
#include "calls/callback.hpp"
#include "core/binding.hpp"
#include "core/errors.hpp"
#include "operators/operators.hpp"

#include <limits>

namespace lumo {

namespace {

// Builds "TypeName: str(exc)" for a caught exception; "<exception str() failed>" when str()
// raises. Returns a new str, or nullptr when memory runs out (or str() raised a fatal error).
PyObject *error_text(PyObject *exc) noexcept {
    Owned qualname{PyType_GetQualName(Py_TYPE(exc))};
    if (!qualname) return nullptr;
    Owned text{PyObject_Str(exc)};  // may run Python
    if (!text) {
        if (!discard_pending_error()) return nullptr;
        return PyUnicode_FromFormat("%U: <exception str() failed>", qualname.get());
    }
    return PyUnicode_FromFormat("%U: %U", qualname.get(), text.get());
}

// Raises the cast failure TypeError for item `index`, replacing the pending exception.
// Interrupts and MemoryError stay as they are.
void raise_cast_failure(PyObject *ty, std::size_t index) noexcept {
    if (pending_error_is_fatal()) return;
    Owned caught{PyErr_GetRaisedException()};
    Owned name{PyObject_GetAttrString(ty, "__name__")};  // may run Python
    if (!name) return;                                   // that exception is raised instead
    if (!PyUnicode_Check(name.get())) {
        Owned qualname{PyType_GetQualName(Py_TYPE(name.get()))};
        if (qualname) PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyString'", qualname.get());
        return;
    }
    Owned text{error_text(caught.get())};
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "Failed to cast item at index %zu to %U: %U", index, name.get(), text.get());
}

}  // namespace

PyObject *op_enumerate(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"start_index", ParamKind::Unsigned64, false}};
    static constexpr Signature sig{"enumerate", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    const std::uint64_t start = a[0].u64;
    const ItemVec &items = self->items();
    Result out;
    out.reserve(items.size());
    constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();
    Owned one, big_index;  // past 2^64 - 1 the count goes on as a Python int
    for (std::size_t p = 0; p < items.size(); ++p) {
        if (p + prefetch_distance < items.size()) prefetch(items[p + prefetch_distance].get());
        Owned index;
        if (!big_index && p <= u64_max - start) {
            index = Owned(PyLong_FromUnsignedLongLong(start + p));
        } else {
            if (!big_index) {
                one = Owned(PyLong_FromLong(1));
                Owned last{PyLong_FromUnsignedLongLong(u64_max)};
                if (!one || !last) return nullptr;
                big_index = Owned(PyNumber_Add(last.get(), one.get()));
            } else {
                big_index = Owned(PyNumber_Add(big_index.get(), one.get()));
            }
            if (!big_index) return nullptr;
            index = Owned::borrow(big_index.get());
        }
        if (!index) return nullptr;
        PyObject *parts[2] = {index.get(), items[p].get()};
        bool needs_tracking = false;
        Owned pair{new_fresh_tuple(parts, 2, needs_tracking)};
        if (!pair) return nullptr;
        out.add_fresh(std::move(pair), needs_tracking);
    }
    return out.finish(0);
}

PyObject *op_select(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"func", ParamKind::Any, true}};
    static constexpr Signature sig{"select", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    const ItemVec &items = self->items();
    const std::size_t n = items.size();
    Callback func(a.object(0), 1);
    Result out;
    out.reserve(n);
    auto add = [&out](std::size_t, PyObject *value) {
        out.add(Owned(value));
        return true;
    };
    if (!func.for_each(items.data(), 0, n, add, [] { return false; })) return nullptr;  // may run Python
    return out.finish(0);
}

PyObject *op_where(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"predicate", ParamKind::Any, true}};
    static constexpr Signature sig{"where", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    const ItemVec &items = self->items();
    const std::size_t n = items.size();
    Callback predicate(a.object(0), 1);
    ItemVec out;
    out.reserve(n);
    bool failed = false;
    // An answer other than True or False goes through the strict rule, which may run Python code:
    // a run of native answers stops after it, so that the guards are checked again.
    auto keep = [&](std::size_t i, PyObject *answer) {
        if (answer == Py_True || answer == Py_False) {
            if (answer == Py_True) out.push_back(Owned::borrow(items[i].get()));
            return true;
        }
        Owned held{answer};
        const int truth = strict_bool(answer);  // may run Python
        if (truth > 0) out.push_back(Owned::borrow(items[i].get()));
        failed = truth < 0;
        return false;
    };
    if (!predicate.for_each(items.data(), 0, n, keep, [&] { return failed; }) || failed) return nullptr;
    return new_sequence(std::move(out), 0, self);
}

PyObject *op_of_type(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"ty", ParamKind::TypeObject, true}};
    static constexpr Signature sig{"of_type", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    ItemVec out;
    out.reserve(self->items().size());
    for (const Owned &item : self->items()) {
        int is = PyObject_IsInstance(item.get(), a.object(0));  // may run Python (__instancecheck__)
        if (is < 0) return nullptr;
        if (is) out.push_back(Owned::borrow(item.get()));
    }
    return new_sequence(std::move(out), 0, self);
}

PyObject *op_cast(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"ty", ParamKind::TypeObject, true}, {"silent", ParamKind::StrictBool, false}};
    static constexpr Signature sig{"cast", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    PyObject *ty = a.object(0);
    const bool silent = a[1].flag;
    const ItemVec &items = self->items();
    Callback construct(ty, 1);  // a type: always called
    Result out;
    out.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        construct.prefetch(items.data(), i, items.size());
        Owned value{construct(items[i].get())};  // may run Python
        if (value) {
            out.add(std::move(value));
            continue;
        }
        if (!silent) {
            raise_cast_failure(ty, i);
            return nullptr;
        }
        if (!discard_pending_error()) return nullptr;  // an interrupt is never skipped over
    }
    return out.finish(0);
}

}  // namespace lumo
