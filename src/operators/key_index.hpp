// A map from key string to a group of items, remembering the order in which key strings were
// first seen. Used by group_by and join. All memory comes from PyMem.
#pragma once

#include "core/owned.hpp"

#include <deque>
#include <string_view>
#include <unordered_map>

namespace lumo {

struct KeyGroup {
    Owned key;      // the first key object that produced this key string
    ItemVec items;  // in input order
};

class KeyIndex {
public:
    // Returns the group for `text`, creating it (holding `key`) when it is new. `key` is
    // released into the group only when the group is new.
    KeyGroup &group_for(const Bytes &text, Owned &key) {
        auto found = positions_.find(std::string_view(text.data(), text.size()));
        if (found != positions_.end()) return groups_[found->second];
        groups_.emplace_back();
        KeyGroup &group = groups_.back();
        try {
            keys_.push_back(text);
            positions_.emplace(std::string_view(keys_.back().data(), keys_.back().size()), groups_.size() - 1);
        } catch (...) {
            if (keys_.size() == groups_.size()) keys_.pop_back();
            groups_.pop_back();
            throw;
        }
        group.key = std::move(key);
        return group;
    }
    // Returns the group for `text`, or nullptr.
    const KeyGroup *find(const Bytes &text) const {
        auto found = positions_.find(std::string_view(text.data(), text.size()));
        return found == positions_.end() ? nullptr : &groups_[found->second];
    }
    std::deque<KeyGroup, PyMemAllocator<KeyGroup>> &groups() noexcept { return groups_; }

private:
    struct Hash {
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    // Deques keep element addresses stable, so the views into `keys_` stay valid as it grows.
    std::deque<KeyGroup, PyMemAllocator<KeyGroup>> groups_;
    std::deque<Bytes, PyMemAllocator<Bytes>> keys_;
    std::unordered_map<std::string_view, std::size_t, Hash, std::equal_to<std::string_view>,
                       PyMemAllocator<std::pair<const std::string_view, std::size_t>>>
        positions_;
};

}  // namespace lumo
