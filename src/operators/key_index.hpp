// A map from key string to a group of items, remembering the order in which key strings were
// first seen. Used by group_by and join. Keys whose key string is known without repr are
// matched by value; the others by the text of their repr, which may run Python code. All
// memory comes from PyMem.
#pragma once

#include "core/owned.hpp"

#include <cstdint>
#include <deque>
#include <string_view>
#include <unordered_map>

namespace lumo {

struct KeyGroup {
    Owned key;      // the first key object that produced this key string
    ItemVec items;  // in input order
};

// A hash map from a value to a group number: open addressing, linear probing, the hash kept
// beside each entry. `Same` tells whether two values are the same key.
template <class Value, class Same>
class ValueMap {
public:
    static constexpr std::size_t none = SIZE_MAX;

    // The group of `value`, or `none`.
    std::size_t find(std::uint64_t hash, const Value &value) const noexcept {
        if (slots_.empty()) return none;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
            const Slot &slot = slots_[at];
            if (slot.group == none) return none;
            if (slot.hash == hash && Same{}(slot.value, value)) return slot.group;
        }
    }

    // Adds `value`, which the map does not hold yet. May throw std::bad_alloc.
    void insert(std::uint64_t hash, const Value &value, std::size_t group) {
        if (2 * (used_ + 1) > slots_.size()) grow();
        place(hash, value, group);
        ++used_;
    }

private:
    struct Slot {
        std::uint64_t hash;
        Value value;
        std::size_t group;  // `none` marks a free slot
    };

    void place(std::uint64_t hash, const Value &value, std::size_t group) noexcept {
        const std::size_t mask = slots_.size() - 1;
        std::size_t at = hash & mask;
        while (slots_[at].group != none) at = (at + 1) & mask;
        slots_[at] = Slot{hash, value, group};
    }

    void grow() {
        Slot vacant{};
        vacant.group = none;
        PyMemVec<Slot> old(slots_.empty() ? 16 : 2 * slots_.size(), vacant);
        old.swap(slots_);
        for (const Slot &slot : old)
            if (slot.group != none) place(slot.hash, slot.value, slot.group);
    }

    PyMemVec<Slot> slots_;
    std::size_t used_ = 0;
};

class KeyIndex {
public:
    KeyIndex();  // may throw std::bad_alloc (a deque allocates when made)

    // The group for the key string of `key`, created (holding `key`, which is then moved from)
    // when new. nullptr with an exception set: an interrupt or MemoryError while the key string
    // is made. may run Python
    KeyGroup *group_for(Owned &key);

    // Sets `found` to the group for the key string of `key`, or to nullptr. False with an
    // exception set, as for group_for. may run Python
    bool find(PyObject *key, const KeyGroup *&found);

    std::deque<KeyGroup, PyMemAllocator<KeyGroup>> &groups() noexcept { return groups_; }

private:
    // A key whose key string is the same as another's exactly when both have the same type and
    // are equal: an exact int that fits in 64 bits, an exact str, None, True or False, or an
    // exact tuple of such scalars.
    struct ValueKey {
        enum class Kind : std::uint8_t { Int, Str, None, True, False, Tuple };
        Kind kind;
        std::int64_t number;
        PyObject *object;  // the str or the tuple
        std::uint64_t hash;
    };
    struct SameInt {
        bool operator()(std::int64_t a, std::int64_t b) const noexcept { return a == b; }
    };
    struct SameStr {
        bool operator()(PyObject *a, PyObject *b) const noexcept;
    };
    struct SameTuple {
        bool operator()(PyObject *a, PyObject *b) const noexcept;
    };
    static constexpr std::size_t none = SIZE_MAX;

    bool value_key(PyObject *key, ValueKey &out) const noexcept;
    bool scalar_key(PyObject *key, ValueKey &out) const noexcept;
    bool tuple_key(PyObject *key, ValueKey &out) const noexcept;
    std::size_t find_value(const ValueKey &v) const noexcept;
    void add_value(const ValueKey &v, std::size_t group);
    std::size_t find_text() const;
    void add_text(std::size_t group);
    bool complete_texts();
    KeyGroup &new_group(Owned &key);

    bool values_;                 // value keys are on: repr would pass its recursion check here
    bool tuples_;                 // tuple keys too: the nested checks of a tuple's repr would pass
    bool texts_complete_ = false;  // every value group's key string is in `positions_` too
    std::uint64_t seed_;
    std::size_t singletons_[3] = {none, none, none};  // None, True, False
    ValueMap<std::int64_t, SameInt> ints_;
    ValueMap<PyObject *, SameStr> strs_;
    ValueMap<PyObject *, SameTuple> tuples_map_;
    ItemVec kept_;  // strs and tuples that the maps hold and no group holds as its key
    // Deques keep element addresses stable, so the views into `texts_` stay valid as it grows.
    std::deque<KeyGroup, PyMemAllocator<KeyGroup>> groups_;
    std::deque<Bytes, PyMemAllocator<Bytes>> texts_;
    struct Hash {
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string_view, std::size_t, Hash, std::equal_to<std::string_view>,
                       PyMemAllocator<std::pair<const std::string_view, std::size_t>>>
        positions_;
    Bytes text_;  // the key string at hand
};

}  // namespace lumo
