// Whole-element and key-based set operators. Sameness is Python `==`, found by the scans of
// element_equality.hpp, which the equality index shortens where no Python code would run in them;
// __eq__, __bool__ and key selectors run Python code while the receiver is under shared access.
// Arguments are copied into private vectors first, so such code cannot change a scan.
#include "core/binding.hpp"
#include "core/errors.hpp"
#include "operators/element_equality.hpp"
#include "operators/equality_index.hpp"
#include "operators/operators.hpp"
#include "operators/sequence_arguments.hpp"

#include <optional>

namespace lumo {

namespace {

// Items kept in order of first appearance, each on the left of its comparisons with later
// candidates, with the index over them. While frozen, no Python code runs between or during
// comparisons, so lists, dicts and sets of plain values are indexed like immutable ones.
class Kept {
public:
    explicit Kept(bool frozen) noexcept : frozen_(frozen) {}

    // Keeps `x` unless an item kept earlier equals it: 1 kept, 0 dropped, -1 with an exception set.
    int offer(PyObject *x, const Plainness &p) {
        Sameness sameness = p.when(frozen_);
        std::ptrdiff_t at = index_.find(items_, x, sameness, p.hash, false);  // may run Python
        if (at < 0) return -1;
        if (static_cast<std::size_t>(at) != items_.size()) return 0;
        items_.push_back(Owned::borrow(x));
        plainness_.push_back(p);
        index_.add(items_.size() - 1, sameness, p.hash);
        return 1;
    }

    // Offers each item of `run`, in order. False with an exception set.
    bool offer_all(const ItemVec &run, const PlainnessVec &plainness) {
        for (std::size_t i = 0; i < run.size(); ++i) {
            if (offer(run[i].get(), plainness[i]) < 0) return false;
        }
        return true;
    }

    // From here on Python code may run between comparisons, so lists, dicts and sets kept so far
    // may change: they lose their hashes.
    void thaw() {
        if (!frozen_) return;
        frozen_ = false;
        index_.clear();
        for (std::size_t i = 0; i < items_.size(); ++i) index_.add(i, plainness_[i].thawed, plainness_[i].hash);
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
    bool frozen_;
    ItemVec items_;
    PlainnessVec plainness_;
    EqualityIndex index_;
};

// The distinct routine: the first of each group of equal items of `run`, kept in `kept`, which
// is frozen when every item is plain (comparing them then runs no Python code). False with an
// exception set. may run Python
bool distinct_run(const ItemVec &run, const PlainRules &rules, std::optional<Kept> &kept) {
    PlainnessVec plainness;
    kept.emplace(classify_all(run, rules, plainness));
    return kept->offer_all(run, plainness);
}

ItemVec items_of(const Seq *s) { return copy_items(s); }

// Appends to `out` each item of `mine` whose membership in `theirs` equals `wanted` (the item
// on the left of each comparison). False with an exception set.
bool filter_by_membership(const Kept &mine, const Kept &theirs, bool wanted, ItemVec &out) {
    const ItemVec &items = mine.items();
    for (std::size_t i = 0; i < items.size(); ++i) {
        std::ptrdiff_t at = theirs.find_as_left(items[i].get(), mine.plainness()[i]);  // may run Python
        if (at < 0) return false;
        if ((static_cast<std::size_t>(at) != theirs.items().size()) == wanted) out.push_back(Owned::borrow(items[i].get()));
    }
    return true;
}

// The distinct_by routine: the first item of each group of equal keys, in order. Keys never
// count as frozen: the key selector runs between their comparisons.
bool distinct_by_run(const ItemVec &run, PyObject *key_selector, const PlainRules &rules, ItemVec &out) {
    out.clear();
    if (run.size() < 2) {
        for (const Owned &x : run) out.push_back(Owned::borrow(x.get()));
        return true;
    }
    Kept kept_keys(false);
    for (const Owned &x : run) {
        Owned key{call1(key_selector, x.get())};  // may run Python
        if (!key) return false;
        int kept = kept_keys.offer(key.get(), classify(key.get(), rules, false));  // may run Python
        if (kept < 0) return false;
        if (kept) out.push_back(Owned::borrow(x.get()));
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
    PlainRules rules = PlainRules::current();
    PyObject *key_selector = a.object(1);
    ItemVec theirs, their_keys, survivors, out;
    if (!sequence_argument_items(a.object(0), message, theirs)) return nullptr;
    if (!keys_of(theirs, key_selector, their_keys)) return nullptr;
    EqualityIndex index;
    for (std::size_t i = 0; i < their_keys.size(); ++i) {
        Plainness p = classify(their_keys[i].get(), rules, false);
        if (!index.add_first(their_keys, i, p.thawed, p.hash)) return nullptr;
    }
    for (const Owned &x : self->items()) {
        Owned key{call1(key_selector, x.get())};  // may run Python
        if (!key) return nullptr;
        Plainness p = classify(key.get(), rules, false);
        std::ptrdiff_t at = index.find(their_keys, key.get(), p.thawed, p.hash, false);  // argument key on the left
        if (at < 0) return nullptr;
        if ((static_cast<std::size_t>(at) != their_keys.size()) == wanted) survivors.push_back(Owned::borrow(x.get()));
    }
    if (!distinct_by_run(survivors, key_selector, rules, out)) return nullptr;
    return new_sequence(std::move(out), 0);
}

constexpr Param other_param[] = {{"other", ParamKind::Any, true}};
constexpr Param other_key_params[] = {{"other", ParamKind::Any, true}, {"key_selector", ParamKind::Any, true}};

}  // namespace

PyObject *op_distinct(Seq *self) {
    SharedAccess access(self);
    if (!access) return nullptr;
    std::optional<Kept> kept;
    if (!distinct_run(self->items(), PlainRules::current(), kept)) return nullptr;
    return new_sequence(kept->take_items(), 0);
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
    std::optional<Kept> out, their_distinct;
    ItemVec theirs;
    if (!distinct_run(self->items(), rules, out)) return nullptr;  // before `other` is looked at
    if (!sequence_argument_items(a.object(0), "Expected LumoSeq, list, or tuple for union", theirs)) return nullptr;
    if (!distinct_run(theirs, rules, their_distinct)) return nullptr;
    if (!their_distinct->frozen()) out->thaw();
    if (!out->offer_all(their_distinct->items(), their_distinct->plainness())) return nullptr;
    return new_sequence(out->take_items(), 0);
}

PyObject *op_intersect(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"intersect", other_param};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    PlainRules rules = PlainRules::current();
    ItemVec theirs, out;
    std::optional<Kept> their_distinct, mine;
    if (!sequence_argument_items(a.object(0), "Expected LumoSeq, list, or tuple for intersection", theirs)) return nullptr;
    // The receiver is classified only now: deduplicating the argument may have run Python code.
    if (!distinct_run(theirs, rules, their_distinct) || !distinct_run(self->items(), rules, mine)) return nullptr;
    if (!mine->frozen()) their_distinct->thaw();
    if (!mine->items().empty() && !their_distinct->items().empty() && !filter_by_membership(*mine, *their_distinct, true, out)) return nullptr;
    return new_sequence(std::move(out), 0);
}

PyObject *op_differ(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"differ", other_param};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    PlainRules rules = PlainRules::current();
    ItemVec theirs, out;
    std::optional<Kept> their_distinct, mine;
    if (!sequence_argument_items(a.object(0), "Expected LumoSeq, list, or tuple for except operation", theirs)) return nullptr;
    // The receiver is classified only now: deduplicating the argument may have run Python code.
    if (!distinct_run(theirs, rules, their_distinct) || !distinct_run(self->items(), rules, mine)) return nullptr;
    if (!mine->frozen()) their_distinct->thaw();
    if (!filter_by_membership(*mine, *their_distinct, false, out)) return nullptr;
    return new_sequence(std::move(out), 0);
}

PyObject *op_distinct_by(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"key_selector", ParamKind::Any, true}};
    static constexpr Signature sig{"distinct_by", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    ItemVec out;
    if (!distinct_by_run(self->items(), a.object(0), PlainRules::current(), out)) return nullptr;
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
    if (!distinct_by_run(joined, a.object(1), PlainRules::current(), out)) return nullptr;
    return new_sequence(std::move(out), 0);
}

}  // namespace lumo
