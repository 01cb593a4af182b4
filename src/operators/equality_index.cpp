// The equality index. Classification reads exact types and the storage of tuples, lists, dicts
// and sets; hashing calls only the C hash of exact scalars. Only find() and add_first() compare,
// through elements_equal, and only find() may thereby run Python code (for scanned partners).
#include "operators/equality_index.hpp"

#include "core/errors.hpp"
#include "operators/element_equality.hpp"

#include <bit>
#include <cmath>

namespace lumo {

namespace {

// Containers nested deeper than this, and values of more than max_nodes parts, are not plain:
// classifying stays in bounds, and comparing two plain values never nests more than
// max_depth + 1 rich comparisons (PlainRules::current makes sure that those fit).
constexpr int max_depth = 32;
constexpr std::size_t max_nodes = std::size_t{1} << 16U;

// Positions a slot can hold; the table then has at most 2**32 slots.
constexpr std::size_t max_position = (std::size_t{1} << 32U) - 1;

constexpr std::uint64_t prime1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t prime2 = 0xC2B2AE3D27D4EB4FULL;

std::uint64_t lane(std::uint64_t acc, std::uint64_t value) noexcept {
    return std::rotl(acc + value * prime2, 31) * prime1;
}

// A bijective scrambler (splitmix64's finalizer): spreads Python's regular hashes (hash(n) is n)
// over the table, and makes sums of element hashes order-independent without cancelling.
std::uint64_t scramble(std::uint64_t h) noexcept {
    h = (h ^ (h >> 30U)) * 0xBF58476D1CE4E5B9ULL;
    h = (h ^ (h >> 27U)) * 0x94D049BB133111EBULL;
    return h ^ (h >> 31U);
}

struct Walk {
    const PlainRules &rules;
    bool containers = false;     // whether lists, dicts and sets may count as plain
    std::size_t nodes = 0;
    bool holds_mutable = false;  // a list, dict or set was met
};

bool plain_hash(PyObject *value, int depth, Walk &walk, std::uint64_t &out) noexcept;

// Order-dependent: equal tuples (and lists) hold pairwise identical or equal items.
bool sequence_hash(PyObject *const *items, Py_ssize_t n, std::uint64_t seed, int depth, Walk &walk,
                   std::uint64_t &out) noexcept {
    std::uint64_t acc = seed;
    for (Py_ssize_t i = 0; i < n; ++i) {
        // An empty slot (a tuple that tuple() is still filling) is no plain value: the container
        // is scanned, and the interpreter's own == answers for it.
        if (items[i] == nullptr) return false;
        std::uint64_t h = 0;
        if (!plain_hash(items[i], depth + 1, walk, h)) return false;
        acc = lane(acc, h);
    }
    out = acc ^ static_cast<std::uint64_t>(n);
    return true;
}

// Order-independent: a set equals a frozenset with the same elements, whatever their order.
bool set_hash(PyObject *value, int depth, Walk &walk, std::uint64_t &out) noexcept {
    auto *set = reinterpret_cast<PySetObject *>(value);
    std::uint64_t acc = 0x5E7ULL;
    for (Py_ssize_t i = 0; i <= set->mask; ++i) {
        const setentry &entry = set->table[i];
        if (entry.key == nullptr || entry.hash == -1) continue;  // unused or dummy
        std::uint64_t h = 0;
        if (!plain_hash(entry.key, depth + 1, walk, h)) return false;
        acc += scramble(h);
    }
    out = acc ^ static_cast<std::uint64_t>(PySet_GET_SIZE(value)) * prime1;
    return true;
}

// Order-independent: == ignores insertion order, and finds keys by hash and equality, so
// {1: 2} == {1.0: 2}; equal keys hash alike here too.
bool dict_hash(PyObject *value, int depth, Walk &walk, std::uint64_t &out) noexcept {
    std::uint64_t acc = 0xD1C7ULL;
    Py_ssize_t pos = 0;
    PyObject *key = nullptr;
    PyObject *item = nullptr;
    while (PyDict_Next(value, &pos, &key, &item)) {
        std::uint64_t kh = 0;
        std::uint64_t vh = 0;
        if (!plain_hash(key, depth + 1, walk, kh) || !plain_hash(item, depth + 1, walk, vh)) return false;
        acc += scramble(lane(lane(0x9A1ULL, kh), vh));
    }
    out = acc ^ static_cast<std::uint64_t>(PyDict_GET_SIZE(value)) * prime2;
    return true;
}

// Hashes `value` when it is plain all the way down: exact scalars, and tuples, frozensets (and,
// noted in walk.holds_mutable, lists, dicts and sets) of plain values. For such values == runs
// only C code, and values that compare equal hash alike: numbers by Python's own numeric hash,
// containers from their items' hashes. A NaN's Python hash is its identity, which agrees with the
// identity-first item comparison of containers. Returns false for anything else.
bool plain_hash(PyObject *value, int depth, Walk &walk, std::uint64_t &out) noexcept {
    if (++walk.nodes > max_nodes) return false;
    PyTypeObject *type = Py_TYPE(value);
    if (type == &PyLong_Type || type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyBool_Type ||
        value == Py_None || type == &PyComplex_Type || (type == &PyBytes_Type && walk.rules.bytes_plain)) {
        out = static_cast<std::uint64_t>(PyObject_Hash(value));  // C only for these exact types; cannot fail
        return true;
    }
    if (depth >= max_depth) return false;
    if (type == &PyTuple_Type) {
        auto *tuple = reinterpret_cast<PyTupleObject *>(value);
        return sequence_hash(tuple->ob_item, PyTuple_GET_SIZE(value), 0x7A91ULL, depth, walk, out);
    }
    if (type == &PyFrozenSet_Type) return set_hash(value, depth, walk, out);
    if (!walk.containers || (type != &PyList_Type && type != &PyDict_Type && type != &PySet_Type)) return false;
    walk.holds_mutable = true;
    if (type == &PyList_Type) {
        return sequence_hash(PySequence_Fast_ITEMS(value), PyList_GET_SIZE(value), 0x1157ULL, depth, walk, out);
    }
    return type == &PySet_Type ? set_hash(value, depth, walk, out) : dict_hash(value, depth, walk, out);
}

bool is_nan(PyObject *value) noexcept {
    if (PyFloat_CheckExact(value)) return std::isnan(PyFloat_AS_DOUBLE(value));
    if (PyComplex_CheckExact(value)) {
        Py_complex c = reinterpret_cast<PyComplexObject *>(value)->cval;
        return std::isnan(c.real) || std::isnan(c.imag);
    }
    return false;
}

}  // namespace

PlainRules PlainRules::current() noexcept {
    // Comparing plain values nests at most max_depth + 1 rich comparisons; if they might not fit
    // under the C recursion limit from here, some would fail where an index would answer, so
    // every value is scanned instead.
    PlainRules rules;
    rules.enabled = recursion_headroom(max_depth + 2);
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    rules.bytes_plain = Py_BytesWarningFlag == 0;  // set once at startup by -b
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    return rules;
}

Plainness classify(PyObject *value, const PlainRules &rules, bool containers) noexcept {
    Plainness p;
    PyTypeObject *type = Py_TYPE(value);
    bool inert = type == &PyList_Type || type == &PyDict_Type;
    p.thawed = inert ? Sameness::Inert : Sameness::Scanned;
    p.frozen = p.thawed;
    if (!rules.enabled) {
        p.frozen = p.thawed = Sameness::Scanned;
        return p;
    }
    if (is_nan(value)) {
        p.frozen = p.thawed = Sameness::Unequal;
        return p;
    }
    Walk walk{rules, containers};
    if (!plain_hash(value, 0, walk, p.hash)) return p;
    p.frozen = Sameness::Hashed;
    if (!walk.holds_mutable) p.thawed = Sameness::Hashed;
    return p;
}

void EqualityIndex::add(std::size_t position, Sameness sameness, std::uint64_t hash) {
    // Beyond what a slot can hold, a hashed partner is scanned: plain candidates then compare
    // with it in order, as the scan does, and it stands after every partner in the table.
    if (sameness == Sameness::Hashed && position < max_position && used_ < max_position / 2) {
        insert(position, hash);
    } else if (sameness == Sameness::Hashed || sameness == Sameness::Scanned) {
        scanned_.push_back(position);
    }
}

bool EqualityIndex::add_first(const ItemVec &partners, std::size_t position, Sameness sameness,
                              std::uint64_t hash) {
    if (sameness == Sameness::Hashed) {
        // Both are hashed: the comparison runs no Python code, whichever side it is asked from.
        std::ptrdiff_t at = find_hashed(partners, partners[position].get(), hash, false);
        if (at < 0) return false;
        if (static_cast<std::size_t>(at) < position) return true;
    }
    add(position, sameness, hash);
    return true;
}

void EqualityIndex::clear() noexcept {
    slots_.clear();
    shift_ = 0;
    used_ = 0;
    scanned_.clear();
}

void EqualityIndex::insert(std::size_t position, std::uint64_t hash) {
    if ((used_ + 1) * 2 > slots_.size()) {
        Slots grown(slots_.empty() ? 16 : slots_.size() * 2, Slot{0, 0});
        auto shift = static_cast<unsigned>(32 - std::countr_zero(grown.size()));
        std::size_t mask = grown.size() - 1;
        for (const Slot &slot : slots_) {
            if (slot.position_plus_one == 0) continue;
            std::size_t i = slot.tag >> shift;
            while (grown[i].position_plus_one != 0) i = (i + 1) & mask;
            grown[i] = slot;
        }
        slots_.swap(grown);
        shift_ = shift;
    }
    auto tag = static_cast<std::uint32_t>(scramble(hash) >> 32U);
    std::size_t mask = slots_.size() - 1;
    std::size_t i = tag >> shift_;
    while (slots_[i].position_plus_one != 0) i = (i + 1) & mask;
    slots_[i] = Slot{static_cast<std::uint32_t>(position + 1), tag};
    ++used_;
}

// The first hashed partner equal to the hashed `candidate`, or partners.size(). Equal hashed
// values hash alike, so no other partner can be equal; and no two hashed partners are equal to
// each other (each would have been dropped, or left out by add_first), while == among hashed
// values is symmetric and transitive (exact numeric comparison; identity first inside
// containers), so at most one partner matches and it is the first. The comparison that confirms
// a match is the scan's own and runs no Python code; a hashed value equals itself, so the same
// object needs no comparison.
std::ptrdiff_t EqualityIndex::find_hashed(const ItemVec &partners, PyObject *candidate, std::uint64_t hash,
                                          bool candidate_left) const noexcept {
    if (used_ == 0) return static_cast<std::ptrdiff_t>(partners.size());
    auto tag = static_cast<std::uint32_t>(scramble(hash) >> 32U);
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = tag >> shift_; slots_[i].position_plus_one != 0; i = (i + 1) & mask) {
        const Slot &slot = slots_[i];
        if (slot.tag != tag) continue;
        // A tag shared by unequal values only costs a comparison, which runs no Python code.
        std::size_t at = slot.position_plus_one - 1;
        PyObject *partner = partners[at].get();
        int eq = partner == candidate ? 1 : equal_to_partner(partner, candidate, candidate_left);
        if (eq < 0) return -1;  // MemoryError: comparing a float with a huge int allocates
        if (eq) return static_cast<std::ptrdiff_t>(at);
    }
    return static_cast<std::ptrdiff_t>(partners.size());
}

// Equivalent to first_equal: the scan compares `candidate` with each partner in order and stops
// at the first equal one. A scanned or inert candidate is scanned just so. For a hashed or unequal
// candidate, every comparison with a hashed, unequal or inert partner runs no Python code and its
// answer is known: equal only for the hashed match. So the scan stops at that match, or at an
// earlier scanned partner that is equal, and the only Python code it runs is that of the scanned
// partners before where it stops, compared here in the same order, on the same sides.
std::ptrdiff_t EqualityIndex::find(const ItemVec &partners, PyObject *candidate, Sameness sameness,
                                   std::uint64_t hash, bool candidate_left) const noexcept {
    if (sameness == Sameness::Scanned || sameness == Sameness::Inert) {
        return first_equal(partners, candidate, candidate_left);  // may run Python
    }
    std::size_t limit = partners.size();
    if (sameness == Sameness::Hashed) {
        std::ptrdiff_t at = find_hashed(partners, candidate, hash, candidate_left);
        if (at < 0) return -1;
        limit = static_cast<std::size_t>(at);
    }
    for (std::size_t position : scanned_) {
        if (position >= limit) break;
        int eq = equal_to_partner(partners[position].get(), candidate, candidate_left);  // may run Python
        if (eq < 0) return -1;
        if (eq) return static_cast<std::ptrdiff_t>(position);
    }
    return static_cast<std::ptrdiff_t>(limit);
}

}  // namespace lumo
