// Grouping and dictionaries: group_by (by key string, groups in first-seen order) and to_dict.
// Key and value functions, keys' __repr__, and (in to_dict) keys' __hash__ / __eq__ run Python
// code under shared access; everything built lives in locals until the result is made.
#include "calls/callback.hpp"
#include "core/binding.hpp"
#include "core/errors.hpp"
#include "operators/key_index.hpp"
#include "operators/operators.hpp"

namespace lumo {

PyObject *op_group_by(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"key_func", ParamKind::Any, true}};
    static constexpr Signature sig{"group_by", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    KeyIndex index;
    const ItemVec &items = self->items();
    Callback key_func(a.object(0), 1);
    for (std::size_t i = 0; i < items.size(); ++i) {
        key_func.prefetch(items.data(), i, items.size());
        Owned key{key_func(items[i].get())};  // may run Python
        if (!key) return nullptr;
        KeyGroup *group = index.group_for(key);
        if (group == nullptr) return nullptr;
        group->items.push_back(Owned::borrow(items[i].get()));
    }
    Result out;
    out.reserve(index.groups().size());
    for (KeyGroup &group : index.groups()) {
        // No Python code runs in this loop: a group can be made visible to the collector at once.
        Owned members{new_sequence(std::move(group.items), 0, self)};
        if (!members) return nullptr;
        PyObject *parts[2] = {group.key.get(), members.get()};
        bool needs_tracking = false;
        Owned pair{new_fresh_tuple(parts, 2, needs_tracking)};
        if (!pair) return nullptr;
        out.add_fresh(std::move(pair), needs_tracking);
    }
    return out.finish(0);
}

PyObject *op_to_dict(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"key_func", ParamKind::Any, true}, {"value_func", ParamKind::Any, true}};
    static constexpr Signature sig{"to_dict", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    Owned dict{PyDict_New()};
    if (!dict) return nullptr;
    const ItemVec &items = self->items();
    Callback key_func(a.object(0), 1), value_func(a.object(1), 1);
    for (std::size_t i = 0; i < items.size(); ++i) {
        key_func.prefetch(items.data(), i, items.size());
        const Owned &item = items[i];
        Owned key{key_func(item.get())};  // may run Python
        if (!key) return nullptr;
        Owned value{value_func(item.get())};
        if (!value) return nullptr;
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

}  // namespace lumo
