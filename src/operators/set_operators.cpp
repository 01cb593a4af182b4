// Whole-element and key-based set operators. Sameness is Python `==`, found by the scans of
// element_equality.hpp, which the equality index shortens where no Python code would run in them;
// __eq__, __bool__ and key selectors run Python code while the receiver is under shared access.
// Arguments are copied into private vectors first, so such code cannot change a scan.
#include "calls/callback.hpp"
#include "core/binding.hpp"
#include "core/errors.hpp"
#include "operators/element_equality.hpp"
#include "operators/equality_index.hpp"
#include "operators/operators.hpp"
#include "operators/sequence_arguments.hpp"

#include <algorithm>

namespace lumo {

namespace {

// Items kept in order of first appearance, each on the left of its comparisons with later
// candidates, with the index over them. A Kept of whole elements starts frozen: until the first
// candidate that is not plain, no comparison runs Python code, so nothing can change a list, dict
// or set kept so far, and they are indexed like immutable values. Keys are never frozen: the key
// selector runs between their comparisons.
class Kept {
public:
    Kept(const PlainRules &rules, bool whole_elements) noexcept : rules_(rules), frozen_(whole_elements) {}

    // Keeps `x` unless an item kept earlier equals it: 1 kept, 0 dropped, -1 with an exception set.
    // may run Python
    int offer(PyObject *x) { return offer(x, classify(x, rules_, frozen_)); }
    // The same, for `x` classified already. A frozen Kept needs a classification made since Python
    // code last ran; a thawed one only trusts what no Python code can change.
    int offer(PyObject *x, const Plainness &p) {
        if (frozen_ && !p.plain()) thaw();
        Sameness sameness = p.when(frozen_);
        std::ptrdiff_t at = index_.find(items_, x, sameness, p.hash, false);  // may run Python
        if (at < 0) return -1;
        if (static_cast<std::size_t>(at) != items_.size()) return 0;
        items_.push_back(Owned::borrow(x));
        plainness_.push_back(p);
        index_.add(items_.size() - 1, sameness, p.hash);
        return 1;
    }

    // Offers `x` only if no Python code can run in its comparisons: -2, and nothing done, when the
    // Kept is frozen and `x` is not plain.
    int offer_plain(PyObject *x) {
        Plainness p = classify(x, rules_, frozen_);
        return frozen_ && !p.plain() ? -2 : offer(x, p);
    }

    // Offers each item of `run`, in order. False with an exception set. may run Python
    bool offer_all(const ItemVec &run) {
        if (items_.empty()) {  // in one go for small runs; large ones grow with what they keep
            items_.reserve(std::min<std::size_t>(run.size(), 64));
            plainness_.reserve(items_.capacity());
        }
        for (std::size_t i = 0, n = run.size(); i < n; ++i) {
            if (i + prefetch_distance < n) prefetch(run[i + prefetch_distance].get());
            if (offer(run[i].get()) < 0) return false;
        }
        return true;
    }

    // From here on Python code may run between comparisons, so lists, dicts and sets kept so far
    // may change: they lose their hashes.
    void thaw() {
        if (!frozen_) return;
        frozen_ = false;
        index_.clear();
        for (std::size_t i = 0; i < items_.size(); ++i) {
            index_.add(i, plainness_[i].thawed, plainness_[i].hash);
        }
    }

    // Forgets the items kept after the first `n`, then thaws, which rebuilds the index without them.
    void truncate_and_thaw(std::size_t n) {
        while (items_.size() > n) items_.pop_back();  // the argument's vector still holds them
        plainness_.resize(n);
        thaw();
    }

    // The index of the first kept item equal to `x`, with `x` on the left; size() for none, -1
    // with an exception set. may run Python
    std::ptrdiff_t find_as_left(PyObject *x, const Plainness &p) const {
        return index_.find(items_, x, p.when(frozen_), p.hash, true);
    }

    bool frozen() const noexcept { return frozen_; }
    const ItemVec &items() const noexcept { return items_; }
    const PlainnessVec &plainness() const noexcept { return plainness_; }
    ItemVec take_items() noexcept { return std::move(items_); }

private:
    const PlainRules &rules_;
    bool frozen_;
    ItemVec items_;
    PlainnessVec plainness_;
    EqualityIndex index_;
};

ItemVec items_of(const Seq *s) { return copy_items(s); }

// Appends to `out` each item of `mine` whose membership in `theirs` equals `wanted` (the item
// on the left of each comparison). False with an exception set.
bool filter_by_membership(const Kept &mine, const Kept &theirs, bool wanted, ItemVec &out) {
    const ItemVec &items = mine.items();
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i + prefetch_distance < items.size()) prefetch(items[i + prefetch_distance].get());
        std::ptrdiff_t at = theirs.find_as_left(items[i].get(), mine.plainness()[i]);  // may run Python
        if (at < 0) return false;
        bool member = static_cast<std::size_t>(at) != theirs.items().size();
        if (member == wanted) out.push_back(Owned::borrow(items[i].get()));
    }
    return true;
}

// The distinct_by routine: the first item of each group of equal keys, in order. Keys never
// count as frozen: the key selector runs between their comparisons.
bool distinct_by_run(const ItemVec &run, Callback &key_selector, const PlainRules &rules, ItemVec &out) {
    out.clear();
    if (run.size() < 2) {
        for (const Owned &x : run) out.push_back(Owned::borrow(x.get()));
        return true;
    }
    Kept kept_keys(rules, false);
    for (std::size_t i = 0; i < run.size(); ++i) {
        key_selector.prefetch(run.data(), i, run.size());
        const Owned &x = run[i];
        Owned key{key_selector(x.get())};  // may run Python
        if (!key) return false;
        int kept = kept_keys.offer(key.get());  // may run Python
        if (kept < 0) return false;
        if (kept) out.push_back(Owned::borrow(x.get()));
    }
    return true;
}

// Keys of every item of `run`, in order.
bool keys_of(const ItemVec &run, Callback &key_selector, ItemVec &keys) {
    keys.reserve(run.size());
    for (std::size_t i = 0; i < run.size(); ++i) {
        key_selector.prefetch(run.data(), i, run.size());
        Owned key{key_selector(run[i].get())};  // may run Python
        if (!key) return false;
        keys.push_back(std::move(key));
    }
    return true;
}

// Appends to `survivors` each item of `mine` whose key is (`wanted` true) or is not among the
// keys of `theirs`. The argument's keys serve this step alone: they are released, from the first
// on, when it ends, before the key selector runs again. False with an exception set.
bool filter_by_key_membership(const ItemVec &mine, const ItemVec &theirs, Callback &key_selector,
                              const PlainRules &rules, bool wanted, ItemVec &survivors) {
    ItemVec their_keys;
    if (!keys_of(theirs, key_selector, their_keys)) return false;
    EqualityIndex index;
    for (std::size_t i = 0; i < their_keys.size(); ++i) {
        Plainness p = classify(their_keys[i].get(), rules, false);
        if (!index.add_first(their_keys, i, p.thawed, p.hash)) return false;
    }
    for (std::size_t i = 0; i < mine.size(); ++i) {
        key_selector.prefetch(mine.data(), i, mine.size());
        const Owned &x = mine[i];
        Owned key{key_selector(x.get())};  // may run Python
        if (!key) return false;
        Plainness p = classify(key.get(), rules, false);
        std::ptrdiff_t at = index.find(their_keys, key.get(), p.thawed, p.hash, false);  // argument key on the left
        if (at < 0) return false;
        if ((static_cast<std::size_t>(at) != their_keys.size()) == wanted) survivors.push_back(Owned::borrow(x.get()));
    }
    return true;
}

// except_by / intersect_by: receiver items whose key is (or is not) among the argument's keys,
// then deduplicated by key.
PyObject *filter_by_key(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, const Signature &sig,
                        const char *message, bool wanted) {
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    PlainRules rules = PlainRules::current();
    Callback key_selector(a.object(1), 1);
    ItemVec theirs, survivors, out;
    if (!sequence_argument_items(a.object(0), message, theirs)) return nullptr;
    if (!filter_by_key_membership(self->items(), theirs, key_selector, rules, wanted, survivors)) return nullptr;
    if (!distinct_by_run(survivors, key_selector, rules, out)) return nullptr;
    return new_sequence(std::move(out), 0, self);
}

constexpr Param other_param[] = {{"other", ParamKind::Any, true}};
constexpr Param other_key_params[] = {{"other", ParamKind::Any, true}, {"key_selector", ParamKind::Any, true}};

}  // namespace

PyObject *op_distinct(Seq *self) {
    SharedAccess access(self);
    if (!access) return nullptr;
    PlainRules rules = PlainRules::current();
    Kept kept(rules, true);
    if (!kept.offer_all(self->items())) return nullptr;
    return new_sequence(kept.take_items(), 0, self);
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
    PlainRules rules = PlainRules::current();
    Kept out(rules, true), their_distinct(rules, true);
    ItemVec theirs;
    if (!out.offer_all(self->items())) return nullptr;  // before `other` is looked at
    if (!sequence_argument_items(a.object(0), "Expected LumoSeq, list, or tuple for union", theirs)) return nullptr;
    if (out.frozen()) {
        // While every item is plain, no comparison runs Python code, and == among them is an
        // equivalence (a NaN equal to nothing): merging the argument's distinct items then keeps
        // exactly what offering the argument's own items keeps. At the first item that is not
        // plain, nothing has run yet, so the merge is undone and made as written.
        std::size_t receivers = out.items().size();
        int kept = 0;
        for (const Owned &y : theirs) {
            kept = out.offer_plain(y.get());
            if (kept < 0) break;
        }
        if (kept == -1) return nullptr;
        if (kept != -2) return new_sequence(out.take_items(), 0);
        out.truncate_and_thaw(receivers);
    }
    if (!their_distinct.offer_all(theirs)) return nullptr;  // `out` is thawed by now
    const ItemVec &distinct = their_distinct.items();
    for (std::size_t i = 0; i < distinct.size(); ++i) {
        if (out.offer(distinct[i].get(), their_distinct.plainness()[i]) < 0) return nullptr;
    }
    return new_sequence(out.take_items(), 0);
}

PyObject *op_intersect(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"intersect", other_param};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    PlainRules rules = PlainRules::current();
    ItemVec theirs, out;
    Kept their_distinct(rules, true), mine(rules, true);
    if (!sequence_argument_items(a.object(0), "Expected LumoSeq, list, or tuple for intersection", theirs)) return nullptr;
    if (!their_distinct.offer_all(theirs) || !mine.offer_all(self->items())) return nullptr;
    if (!mine.frozen()) their_distinct.thaw();
    bool any = !mine.items().empty() && !their_distinct.items().empty();
    if (any && !filter_by_membership(mine, their_distinct, true, out)) return nullptr;
    return new_sequence(std::move(out), 0, self);
}

PyObject *op_differ(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"differ", other_param};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    PlainRules rules = PlainRules::current();
    ItemVec theirs, out;
    Kept their_distinct(rules, true), mine(rules, true);
    if (!sequence_argument_items(a.object(0), "Expected LumoSeq, list, or tuple for except operation", theirs)) return nullptr;
    if (!their_distinct.offer_all(theirs) || !mine.offer_all(self->items())) return nullptr;
    if (!mine.frozen()) their_distinct.thaw();
    if (!filter_by_membership(mine, their_distinct, false, out)) return nullptr;
    return new_sequence(std::move(out), 0, self);
}

PyObject *op_distinct_by(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"key_selector", ParamKind::Any, true}};
    static constexpr Signature sig{"distinct_by", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    ItemVec out;
    Callback key_selector(a.object(0), 1);
    if (!distinct_by_run(self->items(), key_selector, PlainRules::current(), out)) return nullptr;
    return new_sequence(std::move(out), 0, self);
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
    Callback key_selector(a.object(1), 1);
    if (!distinct_by_run(joined, key_selector, PlainRules::current(), out)) return nullptr;
    return new_sequence(std::move(out), 0);
}

}  // namespace lumo
