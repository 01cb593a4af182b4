// Ordering: order_by (decorate once, stable merge sort by the key ordering) and rev.
// Key functions and the keys' __lt__ / __bool__ run Python code; the sort's bounds depend only
// on run lengths, never on what a comparison answers, so a lying __lt__ gives a wrong order and
// nothing worse. Keys are held by `keys` for the whole sort.
#include "core/binding.hpp"
#include "core/errors.hpp"
#include "operators/operators.hpp"

namespace lumo {

namespace {

using IndexVec = std::vector<std::size_t, PyMemAllocator<std::size_t>>;

// The key ordering: 1 when a < b succeeds and is truthy, 0 otherwise (every ordinary exception
// is discarded), -1 when an interrupt or MemoryError must propagate. may run Python
int goes_before(PyObject *a, PyObject *b) noexcept {
    Owned result{PyObject_RichCompare(a, b, Py_LT)};
    if (!result) return discard_pending_error() ? 0 : -1;
    if (result.get() == Py_True) return 1;
    if (result.get() == Py_False) return 0;
    int truth = PyObject_IsTrue(result.get());
    if (truth < 0) return discard_pending_error() ? 0 : -1;
    return truth;
}

// Stable merge of src[lo, mid) and src[mid, hi) into dst. Ties keep the left run first.
// `before(a, b)` answers 1, 0, or -1 with an exception set.
template <class Before>
bool merge_runs(Before &before, const IndexVec &src, IndexVec &dst, std::size_t lo, std::size_t mid, std::size_t hi) {
    std::size_t i = lo, j = mid, k = lo;
    while (i < mid && j < hi) {
        int right_first = before(src[j], src[i]);
        if (right_first < 0) return false;
        dst[k++] = right_first ? src[j++] : src[i++];
    }
    while (i < mid) dst[k++] = src[i++];
    while (j < hi) dst[k++] = src[j++];
    return true;
}

// Sorts `order` stably, bottom-up. False with an exception set.
template <class Before>
bool stable_sort_indexes(Before before, IndexVec &order) {
    const std::size_t n = order.size();
    IndexVec buffer(n);
    IndexVec *src = &order, *dst = &buffer;
    for (std::size_t width = 1; width < n; width *= 2) {
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            std::size_t mid = lo + width < n ? lo + width : n;
            std::size_t hi = mid + width < n ? mid + width : n;
            if (!merge_runs(before, *src, *dst, lo, mid, hi)) return false;
        }
        std::swap(src, dst);
    }
    if (src != &order) order.swap(*src);
    return true;
}

// When every key is an exact float, or an exact int that fits in 64 bits, Python's `<` on them
// is the processor's comparison (NaN included), so the same merge runs on C values and no
// Python code is called. Fills `reals` or `ints` and returns true in that case.
bool native_keys(const ItemVec &keys, std::vector<double, PyMemAllocator<double>> &reals,
                 std::vector<long long, PyMemAllocator<long long>> &ints) {
    bool all_float = true, all_int = true;
    for (const Owned &key : keys) {
        all_float = all_float && PyFloat_CheckExact(key.get());
        all_int = all_int && PyLong_CheckExact(key.get());
        if (!all_float && !all_int) return false;
    }
    if (all_float) {
        reals.reserve(keys.size());
        for (const Owned &key : keys) reals.push_back(PyFloat_AS_DOUBLE(key.get()));
        return true;
    }
    ints.reserve(keys.size());
    for (const Owned &key : keys) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(key.get(), &overflow);
        if (overflow != 0) {
            ints.clear();
            return false;
        }
        ints.push_back(v);
    }
    return true;
}

}  // namespace

PyObject *op_rev(Seq *self) {
    SharedAccess access(self);
    if (!access) return nullptr;
    ItemVec out;
    out.reserve(self->items().size());
    for (auto it = self->items().rbegin(); it != self->items().rend(); ++it) out.push_back(Owned::borrow(it->get()));
    return new_sequence(std::move(out), 0);
}

PyObject *op_order_by(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"key", ParamKind::Any, true}};
    static constexpr Signature sig{"order_by", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    const std::size_t n = self->items().size();
    ItemVec keys;
    keys.reserve(n);
    for (const Owned &item : self->items()) {
        Owned key{call1(a.object(0), item.get())};  // may run Python
        if (!key) return nullptr;
        keys.push_back(std::move(key));
    }
    IndexVec order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    if (n >= 2) {
        std::vector<double, PyMemAllocator<double>> reals;
        std::vector<long long, PyMemAllocator<long long>> ints;
        bool sorted = false;
        if (native_keys(keys, reals, ints)) {
            if (!reals.empty()) sorted = stable_sort_indexes([&](std::size_t a, std::size_t b) { return int(reals[a] < reals[b]); }, order);
            else sorted = stable_sort_indexes([&](std::size_t a, std::size_t b) { return int(ints[a] < ints[b]); }, order);
        } else {
            sorted = stable_sort_indexes(
                [&](std::size_t a, std::size_t b) { return goes_before(keys[a].get(), keys[b].get()); }, order);
        }
        if (!sorted) return nullptr;
    }
    ItemVec out;
    out.reserve(n);
    for (std::size_t index : order) out.push_back(Owned::borrow(self->items()[index].get()));
    release_items(keys);
    return new_sequence(std::move(out), 0);
}

}  // namespace lumo
