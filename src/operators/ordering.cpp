// Ordering: order_by (decorate once, then a stable sort by the key ordering) and rev.
// Key functions and the keys' __lt__ / __bool__ run Python code; every key stays held for the
// whole sort (by `held`, or by the receiver where a key is its own item). Keys whose comparisons
// run no Python code are sorted natively, to the same order.
#include "calls/callback.hpp"
#include "core/binding.hpp"
#include "core/errors.hpp"
#include "operators/native_keys.hpp"
#include "operators/operators.hpp"
#include "operators/sorting.hpp"

namespace lumo {

namespace {

using IndexVec = PyMemVec<std::size_t>;

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

// What the keys of one call are, as far as sorting goes. Ints, Floats (none NaN) and Strs are
// strict weak orderings, so every stable sort gives the one stable order, and a radix sort may
// stand in for the merge. Exact covers the rest of the native keys: mixed kinds, NaN, tuples;
// their order need not be consistent, so they run the general path's merge with a C comparison.
enum class Shape : std::uint8_t { General, Ints, Floats, Strs, Exact };

// Sorts out what the keys are, one key at a time as they come from the key function. For a
// native shape it keeps `scalars` (a scalar key's own, or a tuple's items, key after key) and
// `starts` (key i's scalars begin at starts[i] >> 2; bit 0 marks a tuple, bit 1 the empty tuple,
// which holds one placeholder scalar so that no two keys begin at the same place).
class KeyShapes {
public:
    explicit KeyShapes(std::size_t n) noexcept : n_(n) {}

    void add(PyObject *key) {
        if (general_) return;
        Scalar s;
        bool scalar = scalar_of(key, s);
        // Longer tuples than a 32-bit count holds are left to the general path.
        if (!scalar && (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) > INT32_MAX)) return give_up();
        if (starts.capacity() == 0) {  // memory only once a key has shown a native shape
            starts.reserve(n_);
            scalars.reserve(n_);
        }
        if (scalar) {
            starts.push_back(scalars.size() << 2U);
            scalars.push_back(s);
            ints_ = ints_ && s.kind == Scalar::Kind::Int;
            floats_ = floats_ && s.kind == Scalar::Kind::Float;
            strs_ = strs_ && s.kind == Scalar::Kind::Str;
            exact_ = exact_ || (s.kind == Scalar::Kind::Float && std::isnan(s.d));
            return;
        }
        starts.push_back(scalars.size() << 2U | (PyTuple_GET_SIZE(key) == 0 ? 3U : 1U));
        if (PyTuple_GET_SIZE(key) == 0) scalars.push_back(Scalar{});
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(key); ++i) {
            // An empty slot (a tuple that tuple() is still filling) has no value to compare here:
            // the interpreter's own comparison of such keys is the answer.
            PyObject *part = PyTuple_GET_ITEM(key, i);
            if (part == nullptr || !scalar_of(part, s)) return give_up();
            scalars.push_back(s);
        }
        ints_ = floats_ = strs_ = false;
        exact_ = tuples = true;
    }

    Shape shape() const noexcept {
        if (general_) return Shape::General;
        if (exact_) return Shape::Exact;
        return ints_ ? Shape::Ints : floats_ ? Shape::Floats : strs_ ? Shape::Strs : Shape::Exact;
    }

    PyMemVec<Scalar> scalars;
    IndexVec starts;
    bool tuples = false;

private:
    void give_up() noexcept {
        general_ = true;
        PyMemVec<Scalar>().swap(scalars);
        IndexVec().swap(starts);
    }

    std::size_t n_;
    bool general_ = false, ints_ = true, floats_ = true, strs_ = true, exact_ = false;
};

// A key of the Exact shape as the sort moves it: small, since a merge pass streams every key.
// It holds the kind and value of the key's first scalar (a str's prefix), which settle most
// comparisons, and where its scalars are for the others.
struct ExactKey {
    std::uint64_t head;   // the first scalar's i, d or prefix, bit for bit
    std::size_t start;    // where the key's scalars begin in the shared vector
    std::uint32_t count;  // how many (1 for a scalar key)
    Scalar::Kind kind;
    bool tuple;
};

// Strs of the Exact shape carry their first code points packed big-endian, zero-padded, at
// the widest storage kind among them: where two prefixes differ they order the strs (a
// shorter str reads as zeros where the longer one has a code point above zero).
struct StrPrefixes {
    int width;
    unsigned bits;
};

// The prefixes for the strs among `scalars`, by the widest storage kind among them.
StrPrefixes prefixes_for(const PyMemVec<Scalar> &scalars) noexcept {
    int widest = PyUnicode_1BYTE_KIND;
    for (const Scalar &s : scalars)
        if (s.kind == Scalar::Kind::Str) widest = std::max(widest, static_cast<int>(PyUnicode_KIND(s.object)));
    return widest == PyUnicode_1BYTE_KIND ? StrPrefixes{8, 8U}
           : widest == PyUnicode_2BYTE_KIND ? StrPrefixes{4, 16U}
                                            : StrPrefixes{3, 21U};
}

std::uint64_t packed_code_points(PyObject *s, Py_ssize_t offset, StrPrefixes p) noexcept {
    Py_ssize_t len = PyUnicode_GET_LENGTH(s);
    int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    std::uint64_t code = 0;
    for (int j = 0; j < p.width; ++j) {
        Py_ssize_t at = offset + j;
        code = (code << p.bits) | (at < len ? PyUnicode_READ(kind, data, at) : 0U);
    }
    return code;
}

bool exact_equal(const Scalar &x, const Scalar &y) noexcept {
    if (x.kind == Scalar::Kind::Str && y.kind == Scalar::Kind::Str && x.prefix != y.prefix) return false;
    return scalars_equal(x, y);
}

bool exact_less(const Scalar &x, const Scalar &y) noexcept {
    if (x.kind == Scalar::Kind::Str && y.kind == Scalar::Kind::Str && x.prefix != y.prefix) return x.prefix < y.prefix;
    return scalar_less(x, y);
}

// The key ordering of two Exact keys, answered as the interpreter would: a tuple goes by its
// first items that differ under == (identity first), then by length; a tuple against a scalar,
// like a str against a number, raises in `<` and so never goes before.
class ExactOrder {
public:
    explicit ExactOrder(const PyMemVec<Scalar> &scalars) noexcept : scalars_(scalars.data()) {}

    int operator()(const ExactKey &a, const ExactKey &b) const noexcept {
        if (!a.tuple && !b.tuple) return heads_less(a, b);
        if (a.tuple != b.tuple) return 0;
        if (a.count == 0 || b.count == 0) return a.count < b.count;
        if (!heads_equal(a, b)) return heads_less(a, b);
        std::uint32_t n = std::min(a.count, b.count);
        for (std::uint32_t i = 1; i < n; ++i) {
            const Scalar &x = scalars_[a.start + i], &y = scalars_[b.start + i];
            if (x.object == y.object || exact_equal(x, y)) continue;
            return exact_less(x, y);
        }
        return a.count < b.count;
    }

private:
    PyObject *object(const ExactKey &k) const noexcept { return scalars_[k.start].object; }
    static double real(const ExactKey &k) noexcept {
        double d = 0;
        std::memcpy(&d, &k.head, sizeof d);
        return d;
    }
    static std::int64_t integer(const ExactKey &k) noexcept { return static_cast<std::int64_t>(k.head); }

    // The first scalars' `==`. Identity matters only for NaN: any other scalar equals itself.
    bool heads_equal(const ExactKey &a, const ExactKey &b) const noexcept {
        using K = Scalar::Kind;
        if (a.kind == K::Str || b.kind == K::Str)
            return a.kind == b.kind && a.head == b.head && str_equal(object(a), object(b));
        if (a.kind == K::Int) return b.kind == K::Int ? a.head == b.head : compare_int_float(integer(a), real(b)) == 0;
        if (b.kind == K::Int) return compare_int_float(integer(b), real(a)) == 0;
        return real(a) == real(b) || (std::isnan(real(a)) && object(a) == object(b));
    }

    // The first scalars' `<`.
    bool heads_less(const ExactKey &a, const ExactKey &b) const noexcept {
        using K = Scalar::Kind;
        if (a.kind == K::Str || b.kind == K::Str) {
            if (a.kind != b.kind) return false;
            return a.head != b.head ? a.head < b.head : compare_str(object(a), object(b)) < 0;
        }
        if (a.kind == K::Int) return b.kind == K::Int ? integer(a) < integer(b) : compare_int_float(integer(a), real(b)) == -1;
        if (b.kind == K::Int) return compare_int_float(integer(b), real(a)) == 1;
        return real(a) < real(b);
    }

    const Scalar *scalars_;
};

// Sort codes whose unsigned order is the keys' order: ints with the sign bit flipped, floats by
// their bits (negative ones inverted, -0.0 taken as 0.0, which it equals).
std::uint64_t int_code(std::int64_t v) noexcept { return static_cast<std::uint64_t>(v) ^ (std::uint64_t{1} << 63U); }

std::uint64_t float_code(double d) noexcept {
    if (d == 0) d = 0.0;
    std::uint64_t bits = 0;
    std::memcpy(&bits, &d, sizeof bits);
    return (bits >> 63U) != 0 ? ~bits : bits | (std::uint64_t{1} << 63U);
}

// Strs are sorted by windows of their code points (see StrPrefixes), each followed by a byte
// that tells how many code points are left from the window on (width + 1: more). Equal codes
// with more left are sorted again by the next window.
std::uint64_t window_code(PyObject *s, Py_ssize_t offset, StrPrefixes w) noexcept {
    auto left = static_cast<std::uint64_t>(std::min<Py_ssize_t>(PyUnicode_GET_LENGTH(s) - offset, w.width + 1));
    return (packed_code_points(s, offset, w) << 8U) | left;
}

// Sorts `coded` (indexes into `scalars`, all strs) stably in code-point order.
void sort_strs(const PyMemVec<Scalar> &scalars, PyMemVec<Coded> &coded) {
    const std::size_t n = coded.size();
    auto str = [&](const Coded &c) { return scalars[c.index].object; };
    if (sorted_if_monotone(coded, [&](const Coded &a, const Coded &b) { return compare_str(str(a), str(b)); })) return;
    // One byte of each code is the count of code points left, so a window holds one less.
    StrPrefixes w = prefixes_for(scalars);
    w.width -= 1;
    struct Span {
        std::size_t lo, hi;
        Py_ssize_t offset;  // every str in the span shares its first `offset` code points
    };
    PyMemVec<Span> pending;
    pending.push_back({0, n, 0});
    PyMemVec<Coded> buffer(n);
    while (!pending.empty()) {
        Span span = pending.back();
        pending.pop_back();
        Coded *first = coded.data() + span.lo, *last = coded.data() + span.hi;
        // Few strs, or long shared beginnings: compare whole strs. Index breaks ties, so the
        // comparison is a strict total order and std::sort is exact and stable.
        if (span.hi - span.lo < 32 || span.offset >= Py_ssize_t{16} * w.width) {
            std::sort(first, last, [&](const Coded &a, const Coded &b) {
                int c = compare_str(str(a), str(b), span.offset);
                return c < 0 || (c == 0 && a.index < b.index);
            });
            continue;
        }
        for (Coded *c = first; c != last; ++c) c->code = window_code(str(*c), span.offset, w);
        radix_sort(first, buffer.data(), span.hi - span.lo);
        for (std::size_t i = span.lo; i < span.hi;) {
            std::size_t j = i + 1;
            while (j < span.hi && coded[j].code == coded[i].code) ++j;
            if (j - i > 1 && (coded[i].code & 0xffU) == static_cast<std::uint64_t>(w.width) + 1)
                pending.push_back({i, j, span.offset + w.width});
            i = j;
        }
    }
}

// The permutation that sorts `keys` (whose shapes `shapes` has taken), in `order`. False with an
// exception set (an interrupt or MemoryError from a comparison). may run Python
bool sort_keys(const PyMemVec<PyObject *> &keys, KeyShapes &shapes, IndexVec &order) {
    const std::size_t n = keys.size();
    PyMemVec<Scalar> &scalars = shapes.scalars;
    Shape shape = shapes.shape();
    // A tuple's comparison nests its items' comparisons, one recursion check deeper.
    if (shape != Shape::General && !recursion_headroom(shapes.tuples ? 2 : 1)) shape = Shape::General;
    order.resize(n);
    if (shape == Shape::Ints || shape == Shape::Floats || shape == Shape::Strs) {
        PyMemVec<Coded> coded(n);
        for (std::size_t i = 0; i < n; ++i) {
            const Scalar &s = scalars[i];
            coded[i] = {shape == Shape::Ints ? int_code(s.i) : shape == Shape::Floats ? float_code(s.d) : 0, i};
        }
        if (shape == Shape::Strs) sort_strs(scalars, coded);
        else sort_codes(coded);
        for (std::size_t i = 0; i < n; ++i) order[i] = coded[i].index;
        return true;
    }
    if (shape == Shape::Exact) {
        StrPrefixes p = prefixes_for(scalars);
        for (Scalar &s : scalars)
            if (s.kind == Scalar::Kind::Str) s.prefix = packed_code_points(s.object, 0, p);
        // Each key's index is kept beside its first scalar: the sort moves keys by where their
        // scalars are, and a key's scalars begin where no other key's do.
        const IndexVec &starts = shapes.starts;
        IndexVec index_at(scalars.size() + 1);
        PyMemVec<ExactKey> exact(n);
        for (std::size_t i = 0; i < n; ++i) {
            std::size_t start = starts[i] >> 2U, end = i + 1 < n ? starts[i + 1] >> 2U : scalars.size();
            ExactKey &k = exact[i];
            k.start = start;
            k.count = (starts[i] & 2U) != 0 ? 0 : static_cast<std::uint32_t>(end - start);
            k.tuple = (starts[i] & 1U) != 0;
            index_at[start] = i;
            if (k.count == 0) continue;
            const Scalar &first = scalars[start];
            k.kind = first.kind;
            if (first.kind == Scalar::Kind::Float) std::memcpy(&k.head, &first.d, sizeof k.head);
            else k.head = first.kind == Scalar::Kind::Int ? static_cast<std::uint64_t>(first.i) : first.prefix;
        }
        natural_merge_sort(exact, ExactOrder(scalars));
        for (std::size_t i = 0; i < n; ++i) order[i] = index_at[exact[i].start];
        return true;
    }
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    return natural_merge_sort(order, [&](std::size_t a, std::size_t b) { return goes_before(keys[a], keys[b]); });
}

}  // namespace

PyObject *op_rev(Seq *self) {
    SharedAccess access(self);
    if (!access) return nullptr;
    ItemVec out;
    out.reserve(self->items().size());
    for (auto it = self->items().rbegin(); it != self->items().rend(); ++it) out.push_back(Owned::borrow(it->get()));
    return new_sequence(std::move(out), 0, self);
}

PyObject *op_order_by(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"key", ParamKind::Any, true}};
    static constexpr Signature sig{"order_by", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    const ItemVec &items = self->items();
    const std::size_t n = items.size();
    PyMemVec<PyObject *> keys;  // borrowed from `held`, or from the receiver where a key is its item
    keys.reserve(n);
    ItemVec held;   // the keys that are not their own items, in input order
    ItemVec taken;  // the result's references, one per item in input order
    taken.reserve(n);
    KeyShapes shapes(n);
    Callback key_func(a.object(0), 1);
    // Runs no Python code, so keys answered natively are taken in runs.
    auto take = [&](std::size_t i, PyObject *made) {
        Owned key{made};
        PyObject *borrowed = key.get();
        if (borrowed == items[i].get()) {
            key.reset();  // the receiver holds it until the call is over
        } else {
            if (held.capacity() == 0) held.reserve(n);
            held.push_back(std::move(key));
        }
        keys.push_back(borrowed);
        // Taken while the item is at hand: placing the references later touches only pointers.
        taken.push_back(Owned::borrow(items[i].get()));
        shapes.add(borrowed);
        return true;
    };
    if (!key_func.for_each(items.data(), 0, n, take, [] { return false; })) return nullptr;  // may run Python
    ItemVec out;
    if (n >= 2) {
        IndexVec order;
        if (!sort_keys(keys, shapes, order)) return nullptr;
        out.reserve(n);
        for (std::size_t index : order) out.push_back(std::move(taken[index]));
    } else {
        out = std::move(taken);
    }
    release_items(held);
    return new_sequence(std::move(out), 0, self);
}

}  // namespace lumo
