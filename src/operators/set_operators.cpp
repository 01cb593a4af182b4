// Whole-element and key-based set operators. Sameness is Python `==` by linear scans, never
// hashing; __eq__, __bool__ and key selectors run Python code while the receiver is under shared
// access. Arguments are copied into private vectors first, so such code cannot change a scan.
#include "core/binding.hpp"
#include "core/errors.hpp"
#include "operators/element_equality.hpp"
#include "operators/operators.hpp"
#include "operators/sequence_arguments.hpp"

namespace lumo {

namespace {

// Index of the first element of `partners` equal to `candidate`, with `candidate` on the side
// that `candidate_left` says; partners.size() when none is; -1 with an exception set.
std::ptrdiff_t find_equal(const ItemVec &partners, PyObject *candidate, bool candidate_left) {
    for (std::size_t i = 0; i < partners.size(); ++i) {
        int eq = candidate_left ? elements_equal(candidate, partners[i].get())
                                : elements_equal(partners[i].get(), candidate);
        if (eq < 0) return -1;
        if (eq) return static_cast<std::ptrdiff_t>(i);
    }
    return static_cast<std::ptrdiff_t>(partners.size());
}

// Appends to `kept` each item of `run` that equals none kept before it (kept on the left).
// False with an exception set.
bool distinct_into(const ItemVec &run, ItemVec &kept) {
    for (const Owned &x : run) {
        std::ptrdiff_t at = find_equal(kept, x.get(), false);
        if (at < 0) return false;
        if (static_cast<std::size_t>(at) == kept.size()) kept.push_back(Owned::borrow(x.get()));
    }
    return true;
}

// The distinct routine: a new vector of the first of each group of equal items.
bool distinct_run(const ItemVec &run, ItemVec &out) {
    out.clear();
    if (run.size() < 2) {
        for (const Owned &x : run) out.push_back(Owned::borrow(x.get()));
        return true;
    }
    return distinct_into(run, out);
}

ItemVec items_of(const Seq *s) { return copy_items(s); }

// Appends to `out` each item of `mine` whose membership in `theirs` equals `wanted` (the item
// on the left of each comparison). False with an exception set.
bool filter_by_membership(const ItemVec &mine, const ItemVec &theirs, bool wanted, ItemVec &out) {
    for (const Owned &x : mine) {
        std::ptrdiff_t at = find_equal(theirs, x.get(), true);
        if (at < 0) return false;
        if ((static_cast<std::size_t>(at) != theirs.size()) == wanted) out.push_back(Owned::borrow(x.get()));
    }
    return true;
}

// The distinct_by routine: the first item of each group of equal keys, in order.
bool distinct_by_run(const ItemVec &run, PyObject *key_selector, ItemVec &out) {
    out.clear();
    if (run.size() < 2) {
        for (const Owned &x : run) out.push_back(Owned::borrow(x.get()));
        return true;
    }
    ItemVec kept_keys;
    for (const Owned &x : run) {
        Owned key{call1(key_selector, x.get())};  // may run Python
        if (!key) return false;
        std::ptrdiff_t at = find_equal(kept_keys, key.get(), false);
        if (at < 0) return false;
        if (static_cast<std::size_t>(at) == kept_keys.size()) {
            kept_keys.push_back(std::move(key));
            out.push_back(Owned::borrow(x.get()));
        }
    }
    return true;
}

// Keys of every item of `run`, in order.
bool keys_of(const ItemVec &run, PyObject *key_selector, ItemVec &keys) {
    keys.reserve(run.size());
    for (const Owned &x : run) {
        Owned key{call1(key_selector, x.get())};  // may run Python
        if (!key) return false;
        keys.push_back(std::move(key));
    }
    return true;
}

// except_by / intersect_by: receiver items whose key is (or is not) among the argument's keys,
// then deduplicated by key.
PyObject *filter_by_key(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, const Signature &sig,
                        const char *message, bool wanted) {
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    PyObject *key_selector = a.object(1);
    ItemVec theirs, their_keys, survivors, out;
    if (!sequence_argument_items(a.object(0), message, theirs)) return nullptr;
    if (!keys_of(theirs, key_selector, their_keys)) return nullptr;
    for (const Owned &x : self->items()) {
        Owned key{call1(key_selector, x.get())};  // may run Python
        if (!key) return nullptr;
        std::ptrdiff_t at = find_equal(their_keys, key.get(), false);  // argument key on the left
        if (at < 0) return nullptr;
        if ((static_cast<std::size_t>(at) != their_keys.size()) == wanted) survivors.push_back(Owned::borrow(x.get()));
    }
    if (!distinct_by_run(survivors, key_selector, out)) return nullptr;
    return new_sequence(std::move(out), 0);
}

constexpr Param other_param[] = {{"other", ParamKind::Any, true}};
constexpr Param other_key_params[] = {{"other", ParamKind::Any, true}, {"key_selector", ParamKind::Any, true}};

}  // namespace

PyObject *op_distinct(Seq *self) {
    SharedAccess access(self);
    if (!access) return nullptr;
    ItemVec out;
    if (!distinct_run(self->items(), out)) return nullptr;
    return new_sequence(std::move(out), 0);
}

PyObject *op_concat(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"concat", other_param};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    ItemVec out = items_of(self), theirs;
    if (!sequence_argument_items(a.object(0), "Expected LumoSeq, list, or tuple for concatenation", theirs)) return nullptr;
    out.reserve(out.size() + theirs.size());
    for (Owned &y : theirs) out.push_back(std::move(y));
    return new_sequence(std::move(out), 0);
}

PyObject *op_union(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"union", other_param};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    ItemVec out, theirs, their_distinct;
    if (!distinct_run(self->items(), out)) return nullptr;  // before `other` is looked at
    if (!sequence_argument_items(a.object(0), "Expected LumoSeq, list, or tuple for union", theirs)) return nullptr;
    if (!distinct_run(theirs, their_distinct)) return nullptr;
    if (!distinct_into(their_distinct, out)) return nullptr;
    return new_sequence(std::move(out), 0);
}

PyObject *op_intersect(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"intersect", other_param};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    ItemVec theirs, their_distinct, mine, out;
    if (!sequence_argument_items(a.object(0), "Expected LumoSeq, list, or tuple for intersection", theirs)) return nullptr;
    if (!distinct_run(theirs, their_distinct) || !distinct_run(self->items(), mine)) return nullptr;
    if (!mine.empty() && !their_distinct.empty() && !filter_by_membership(mine, their_distinct, true, out)) return nullptr;
    return new_sequence(std::move(out), 0);
}

PyObject *op_differ(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"differ", other_param};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    ItemVec theirs, their_distinct, mine, out;
    if (!sequence_argument_items(a.object(0), "Expected LumoSeq, list, or tuple for except operation", theirs)) return nullptr;
    if (!distinct_run(theirs, their_distinct) || !distinct_run(self->items(), mine)) return nullptr;
    if (!filter_by_membership(mine, their_distinct, false, out)) return nullptr;
    return new_sequence(std::move(out), 0);
}

PyObject *op_distinct_by(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"key_selector", ParamKind::Any, true}};
    static constexpr Signature sig{"distinct_by", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    ItemVec out;
    if (!distinct_by_run(self->items(), a.object(0), out)) return nullptr;
    return new_sequence(std::move(out), 0);
}

PyObject *op_except_by(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"except_by", other_key_params};
    return filter_by_key(self, args, nargs, kwnames, sig, "Expected LumoSeq, list, or tuple for except_by operation",
                         false);
}

PyObject *op_intersect_by(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"intersect_by", other_key_params};
    return filter_by_key(self, args, nargs, kwnames, sig,
                         "Expected LumoSeq, list, or tuple for intersect_by operation", true);
}

PyObject *op_union_by(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"union_by", other_key_params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    ItemVec joined = items_of(self), theirs, out;
    if (!sequence_argument_items(a.object(0), "Expected LumoSeq, list, or tuple for union_by operation", theirs))
        return nullptr;
    joined.reserve(joined.size() + theirs.size());
    for (Owned &y : theirs) joined.push_back(std::move(y));
    if (!distinct_by_run(joined, a.object(1), out)) return nullptr;
    return new_sequence(std::move(out), 0);
}

}  // namespace lumo
