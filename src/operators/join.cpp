// The key join. Key functions and keys' __repr__ run Python code under shared access. The inner
// key objects are held until the join is done: a key whose repr shows its address then cannot be
// matched by a later temporary that happens to reuse that address.
#include "calls/callback.hpp"
#include "core/binding.hpp"
#include "core/errors.hpp"
#include "operators/key_index.hpp"
#include "operators/operators.hpp"
#include "operators/sequence_arguments.hpp"

namespace lumo {

PyObject *op_join(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"other", ParamKind::Any, true},
                                       {"outer_key_func", ParamKind::Any, true},
                                       {"inner_key_func", ParamKind::Any, true}};
    static constexpr Signature sig{"join", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    ItemVec inner;
    if (!sequence_argument_items(a.object(0), "Expected LumoSeq, list, or tuple", inner)) return nullptr;

    ItemVec kept_keys;  // every inner key, alive until the join is done
    kept_keys.reserve(inner.size());
    KeyIndex index;  // goes first, so that the inner keys then go in input order, first ones too
    Callback inner_key_func(a.object(2), 1), outer_key_func(a.object(1), 1);
    for (std::size_t i = 0; i < inner.size(); ++i) {
        inner_key_func.prefetch(inner.data(), i, inner.size());
        const Owned &item = inner[i];
        Owned key{inner_key_func(item.get())};  // may run Python
        if (!key) return nullptr;
        kept_keys.push_back(Owned::borrow(key.get()));
        KeyGroup *group = index.group_for(key);
        if (group == nullptr) return nullptr;
        group->items.push_back(Owned::borrow(item.get()));
    }

    // The pairs stay out of the collector until the join is done (see Result): the key function
    // runs Python code between them, where collections may run, and would otherwise walk them all.
    Result out;
    const ItemVec &outer = self->items();
    for (std::size_t i = 0; i < outer.size(); ++i) {
        outer_key_func.prefetch(outer.data(), i, outer.size());
        PyObject *x = outer[i].get();
        Owned key{outer_key_func(x)};  // may run Python
        const KeyGroup *group = nullptr;
        if (!key || !index.find(key.get(), group)) return nullptr;
        if (group == nullptr) continue;
        for (const Owned &match : group->items) {
            PyObject *parts[2] = {x, match.get()};
            bool needs_tracking = false;
            Owned pair{new_fresh_tuple(parts, 2, needs_tracking)};
            if (!pair) return nullptr;
            out.add_fresh(std::move(pair), needs_tracking);
        }
    }
    return out.finish(0);
}

}  // namespace lumo
