// The key index of group_by and join. Only the repr of a text key runs Python code (inside
// key_string); value keys are hashed and compared here, and their texts, once text keys need
// them, are made without running Python code.
//
// Two value keys have the same key string exactly when they have the same type and are equal,
// and a value key never has the key string of a value key of another type (an int's text has
// no quote, a str's starts with one, None, True and False are words, a tuple's starts with a
// parenthesis). A tuple of such scalars prints as a Python literal that evaluates back to an
// equal tuple of the same item types, so two of them print alike exactly when they are item by
// item of the same type and equal. So value keys group by value. A text key may still print
// like a value key (a class whose repr is "5"): from the first text key on, `positions_` holds
// the key string of every group, value groups included, so a text key finds a value group by its
// text, and a new value key looks for a text group with its text before it starts one of its own.
#include "operators/key_index.hpp"

#include "core/errors.hpp"
#include "operators/key_strings.hpp"
#include "operators/native_keys.hpp"

#include <atomic>
#include <chrono>

namespace lumo {

namespace {

std::uint64_t mix(std::uint64_t x) noexcept {
    x ^= x >> 30U;
    x *= 0xbf58476d1ce4e5b9U;
    x ^= x >> 27U;
    x *= 0x94d049bb133111ebU;
    return x ^ (x >> 31U);
}

// A seed per map, so that keys built to collide in one map do not collide in the next.
std::uint64_t fresh_seed(const void *map) noexcept {
    static std::atomic<std::uint64_t> counter{0};
    auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return mix(now ^ mix(reinterpret_cast<std::uintptr_t>(map) + counter.fetch_add(0x9e3779b97f4a7c15)));
}

}  // namespace

// The interpreter's own equality of strs: equal strs are stored alike, and hash alike.
bool KeyIndex::SameStr::operator()(PyObject *a, PyObject *b) const noexcept { return str_equal(a, b); }

// Two tuple keys print alike exactly when they are as long and item by item of the same type and
// equal.
bool KeyIndex::SameTuple::operator()(PyObject *a, PyObject *b) const noexcept {
    if (a == b) return true;
    const Py_ssize_t n = PyTuple_GET_SIZE(a);
    if (PyTuple_GET_SIZE(b) != n) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *x = PyTuple_GET_ITEM(a, i);
        PyObject *y = PyTuple_GET_ITEM(b, i);
        if (x == y) continue;
        if (Py_TYPE(x) != Py_TYPE(y)) return false;  // None, True and False are single objects
        if (PyUnicode_CheckExact(x)) {
            if (!str_equal(x, y)) return false;
        } else {
            std::int64_t u = 0, v = 0;  // both fit: checked when classified
            if (!int64_of(x, u) || !int64_of(y, v) || u != v) return false;
        }
    }
    return true;
}

// repr of an int or a str makes one recursion check, and of a tuple of them two; where they
// would fail, such keys take the text path and fail there exactly as the general path does.
KeyIndex::KeyIndex() : values_(recursion_headroom(1)), tuples_(recursion_headroom(2)), seed_(fresh_seed(this)) {}

bool KeyIndex::value_key(PyObject *key, ValueKey &out) const noexcept {
    if (!values_) return false;
    return PyTuple_CheckExact(key) ? tuple_key(key, out) : scalar_key(key, out);
}

// A tuple of scalar value keys; its hash combines theirs in order.
bool KeyIndex::tuple_key(PyObject *key, ValueKey &out) const noexcept {
    if (!tuples_) return false;
    std::uint64_t hash = mix(seed_ ^ 0x7475706c65ULL ^ static_cast<std::uint64_t>(PyTuple_GET_SIZE(key)));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(key); ++i) {
        // An empty slot (a tuple that tuple() is still filling) makes a text key: its repr, which
        // prints the slot as <NULL>, is its key string, as on the general path.
        PyObject *part = PyTuple_GET_ITEM(key, i);
        ValueKey item;
        if (part == nullptr || !scalar_key(part, item)) return false;
        std::uint64_t h = item.kind == ValueKey::Kind::Int || item.kind == ValueKey::Kind::Str
                              ? item.hash
                              : static_cast<std::uint64_t>(item.kind);
        hash = mix(hash + h);
    }
    out.kind = ValueKey::Kind::Tuple;
    out.object = key;
    out.hash = hash;
    return true;
}

bool KeyIndex::scalar_key(PyObject *key, ValueKey &out) const noexcept {
    if (key == Py_None || key == Py_True || key == Py_False) {
        out.kind = key == Py_None ? ValueKey::Kind::None : key == Py_True ? ValueKey::Kind::True : ValueKey::Kind::False;
        return true;
    }
    if (PyLong_CheckExact(key)) {
        if (!int64_of(key, out.number)) return false;
        out.kind = ValueKey::Kind::Int;
        out.hash = mix(static_cast<std::uint64_t>(out.number) ^ seed_);
        return true;
    }
    if (PyUnicode_CheckExact(key)) {
        out.kind = ValueKey::Kind::Str;
        out.object = key;
        out.hash = mix(static_cast<std::uint64_t>(PyObject_Hash(key)) ^ seed_);  // a str's hash cannot fail
        return true;
    }
    return false;
}

std::size_t KeyIndex::find_value(const ValueKey &v) const noexcept {
    switch (v.kind) {
    case ValueKey::Kind::Int: return ints_.find(v.hash, v.number);
    case ValueKey::Kind::Str: return strs_.find(v.hash, v.object);
    case ValueKey::Kind::Tuple: return tuples_map_.find(v.hash, v.object);
    default: return singletons_[static_cast<int>(v.kind) - static_cast<int>(ValueKey::Kind::None)];
    }
}

void KeyIndex::add_value(const ValueKey &v, std::size_t group) {
    switch (v.kind) {
    case ValueKey::Kind::Int: ints_.insert(v.hash, v.number, group); break;
    case ValueKey::Kind::Str: strs_.insert(v.hash, v.object, group); break;
    case ValueKey::Kind::Tuple: tuples_map_.insert(v.hash, v.object, group); break;
    default: singletons_[static_cast<int>(v.kind) - static_cast<int>(ValueKey::Kind::None)] = group;
    }
}

std::size_t KeyIndex::find_text() const {
    auto found = positions_.find(std::string_view(text_.data(), text_.size()));
    return found == positions_.end() ? none : found->second;
}

void KeyIndex::add_text(std::size_t group) {
    texts_.push_back(text_);
    positions_.emplace(std::string_view(texts_.back().data(), texts_.back().size()), group);
}

// Before the first text key every group is a value group. False with MemoryError set.
bool KeyIndex::complete_texts() {
    Bytes held;
    held.swap(text_);  // the text key's own key string, put back below
    for (std::size_t g = 0; g < groups_.size(); ++g) {
        if (!value_key_string(groups_[g].key.get(), text_)) return false;
        add_text(g);
    }
    text_.swap(held);
    texts_complete_ = true;
    return true;
}

KeyGroup &KeyIndex::new_group(Owned &key) {
    KeyGroup &group = groups_.emplace_back();
    group.key = std::move(key);
    return group;
}

KeyGroup *KeyIndex::group_for(Owned &key) {
    ValueKey v;
    if (value_key(key.get(), v)) {
        std::size_t g = find_value(v);
        if (g != none) return &groups_[g];
        if (texts_complete_) {
            if (!value_key_string(key.get(), text_)) return nullptr;
            g = find_text();
            if (g != none) {  // a text key that prints like this one came first
                if (v.kind == ValueKey::Kind::Str || v.kind == ValueKey::Kind::Tuple) {
                    kept_.push_back(Owned::borrow(v.object));
                }
                add_value(v, g);
                return &groups_[g];
            }
            KeyGroup &group = new_group(key);
            add_text(groups_.size() - 1);
            add_value(v, groups_.size() - 1);
            return &group;
        }
        KeyGroup &group = new_group(key);
        add_value(v, groups_.size() - 1);
        return &group;
    }
    if (!key_string(key.get(), text_)) return nullptr;  // may run Python
    if (!texts_complete_ && !complete_texts()) return nullptr;
    std::size_t g = find_text();
    if (g != none) return &groups_[g];
    KeyGroup &group = new_group(key);
    add_text(groups_.size() - 1);
    return &group;
}

bool KeyIndex::find(PyObject *key, const KeyGroup *&found) {
    ValueKey v;
    std::size_t g = none;
    if (value_key(key, v)) {
        g = find_value(v);
        if (g == none && texts_complete_) {
            if (!value_key_string(key, text_)) return false;
            g = find_text();
        }
    } else {
        if (!key_string(key, text_)) return false;  // may run Python
        if (!texts_complete_ && !complete_texts()) return false;
        g = find_text();
    }
    found = g == none ? nullptr : &groups_[g];
    return true;
}

}  // namespace lumo
