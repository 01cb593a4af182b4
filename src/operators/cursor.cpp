// The cursor walk: skip, restart, take, skip_while, take_while. Each returns new sequences and
// leaves the receiver as it was. Predicates run Python code under shared access; skip holds
// exclusive access while its count is converted (which may run __index__).
#include "calls/callback.hpp"
#include "core/binding.hpp"
#include "core/errors.hpp"
#include "operators/operators.hpp"

namespace lumo {

namespace {

constexpr Param count_param[] = {{"n", ParamKind::Unsigned64, true}};
constexpr Param predicate_param[] = {{"predicate", ParamKind::Any, true}};

// The cursor after advancing by `n`, clamped to the length without overflow.
std::uint64_t advanced_cursor(const Seq *self, std::uint64_t n) noexcept {
    const std::uint64_t remaining = self->items().size() - self->cursor;
    return self->cursor + (n < remaining ? n : remaining);
}

// Returns a new sequence with all of the receiver's items and `cursor`, or nullptr. It shares the
// receiver's storage, so each step of a walk costs the same whatever the length.
PyObject *advanced(Seq *self, std::uint64_t cursor) noexcept { return new_sharing_sequence(self, cursor); }

// Returns the pair (items cursor..end as a new sequence, the receiver advanced to `end`).
PyObject *taken_and_advanced(Seq *self, std::uint64_t end) {
    ItemVec taken;
    append_items(taken, self->items().data() + self->cursor, end - self->cursor);
    Owned first{new_sequence(std::move(taken), 0, self)};
    if (!first) return nullptr;
    Owned second{advanced(self, end)};
    if (!second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
}

// Scans from the cursor while the predicate answers true. Returns the first position at which
// it answered false (or the length), or -1 with an exception set. may run Python
std::int64_t scan_while(const Seq *self, PyObject *predicate_func) noexcept {
    const ItemVec &items = self->items();
    Callback predicate(predicate_func, 1);
    const std::size_t n = items.size();
    // An answer other than True ends a run of native answers: False ends the scan, anything else
    // goes through the strict rule, which may run Python code.
    std::size_t stop = n;
    int verdict = 1;
    auto go_on = [&](std::size_t i, PyObject *answer) {
        if (answer == Py_True) return true;
        Owned held{answer};
        verdict = answer == Py_False ? 0 : strict_bool(answer);  // may run Python
        if (verdict != 1) stop = i;
        return false;
    };
    if (!predicate.for_each(items.data(), self->cursor, n, go_on, [&] { return verdict != 1; }) || verdict < 0) {
        return -1;
    }
    return static_cast<std::int64_t>(stop);
}

}  // namespace

PyObject *op_skip(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"skip", count_param};
    BoundCall<ExclusiveAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    return advanced(self, advanced_cursor(self, a[0].u64));
}

PyObject *op_restart(Seq *self) {
    SharedAccess access(self);
    if (!access) return nullptr;
    return advanced(self, 0);
}

PyObject *op_take(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"take", count_param};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    return taken_and_advanced(self, advanced_cursor(self, a[0].u64));
}

PyObject *op_skip_while(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"skip_while", predicate_param};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    std::int64_t end = scan_while(self, a.object(0));
    if (end < 0) return nullptr;
    return advanced(self, static_cast<std::uint64_t>(end));
}

PyObject *op_take_while(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"take_while", predicate_param};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    std::int64_t end = scan_while(self, a.object(0));
    if (end < 0) return nullptr;
    return taken_and_advanced(self, static_cast<std::uint64_t>(end));
}

}  // namespace lumo
