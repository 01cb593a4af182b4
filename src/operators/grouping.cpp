// Grouping and dictionaries: group_by (by key string, groups in first-seen order) and to_dict.
// Key and value functions, keys' __repr__, and (in to_dict) keys' __hash__ / __eq__ run Python
// code under shared access; everything built lives in locals until the result is made.
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
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i + prefetch_distance < items.size()) prefetch(items[i + prefetch_distance].get());
        Owned key{call1(a.object(0), items[i].get())};  // may run Python
        if (!key) return nullptr;
        KeyGroup *group = index.group_for(key);
        if (group == nullptr) return nullptr;
        group->items.push_back(Owned::borrow(items[i].get()));
    }
    ItemVec out;
    out.reserve(index.groups().size());
    for (KeyGroup &group : index.groups()) {
        Owned members{new_sequence(std::move(group.items), 0, self)};
        if (!members) return nullptr;
        PyObject *pair = PyTuple_Pack(2, group.key.get(), members.get());
        if (pair == nullptr) return nullptr;
        out.push_back(Owned(pair));
    }
    return new_sequence(std::move(out), 0);
}

PyObject *op_to_dict(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"key_func", ParamKind::Any, true}, {"value_func", ParamKind::Any, true}};
    static constexpr Signature sig{"to_dict", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    Owned dict{PyDict_New()};
    if (!dict) return nullptr;
    for (const Owned &item : self->items()) {
        Owned key{call1(a.object(0), item.get())};  // may run Python
        if (!key) return nullptr;
        Owned value{call1(a.object(1), item.get())};
        if (!value) return nullptr;
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

}  // namespace lumo
