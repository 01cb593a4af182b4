// Ordering: order_by (decorate once, stable merge sort by the key ordering) and rev.
// Key functions and the keys' __lt__ / __bool__ run Python code; the sort's bounds depend only
// on run lengths, never on what a comparison answers, so a lying __lt__ gives a wrong order and
// nothing worse. Keys are held by `keys` for the whole sort.
#include "core/errors.hpp"
#include "module/binding.hpp"
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
// False with an exception set.
bool merge_runs(const ItemVec &keys, const IndexVec &src, IndexVec &dst, std::size_t lo, std::size_t mid,
                std::size_t hi) noexcept {
    std::size_t i = lo, j = mid, k = lo;
    while (i < mid && j < hi) {
        int right_first = goes_before(keys[src[j]].get(), keys[src[i]].get());
        if (right_first < 0) return false;
        dst[k++] = right_first ? src[j++] : src[i++];
    }
    while (i < mid) dst[k++] = src[i++];
    while (j < hi) dst[k++] = src[j++];
    return true;
}

// Sorts `order` (indexes into `keys`) stably, bottom-up. False with an exception set.
bool stable_sort_indexes(const ItemVec &keys, IndexVec &order) {
    const std::size_t n = order.size();
    IndexVec buffer(n);
    IndexVec *src = &order, *dst = &buffer;
    for (std::size_t width = 1; width < n; width *= 2) {
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            std::size_t mid = lo + width < n ? lo + width : n;
            std::size_t hi = mid + width < n ? mid + width : n;
            if (!merge_runs(keys, *src, *dst, lo, mid, hi)) return false;
        }
        std::swap(src, dst);
    }
    if (src != &order) order.swap(*src);
    return true;
}

}  // namespace

PyObject *op_rev(Seq *self) {
    SharedAccess access(self);
    if (!access) return nullptr;
    ItemVec out;
    out.reserve(self->items.size());
    for (auto it = self->items.rbegin(); it != self->items.rend(); ++it) out.push_back(Owned::borrow(it->get()));
    return new_sequence(std::move(out), 0);
}

PyObject *op_order_by(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"key", ParamKind::Any, true}};
    static constexpr Signature sig{"order_by", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    const std::size_t n = self->items.size();
    ItemVec keys;
    keys.reserve(n);
    for (const Owned &item : self->items) {
        Owned key{call1(a.object(0), item.get())};  // may run Python
        if (!key) return nullptr;
        keys.push_back(std::move(key));
    }
    IndexVec order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    if (n >= 2 && !stable_sort_indexes(keys, order)) return nullptr;
    ItemVec out;
    out.reserve(n);
    for (std::size_t index : order) out.push_back(Owned::borrow(self->items[index].get()));
    release_items(keys);
    return new_sequence(std::move(out), 0);
}

}  // namespace lumo
