// Single-item additions: append and prepend carry the receiver's cursor over. No Python code runs.
#include "core/binding.hpp"
#include "operators/operators.hpp"

namespace lumo {

namespace {
constexpr Param item_param[] = {{"item", ParamKind::Any, true}};
}

PyObject *op_append(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"append", item_param};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    ItemVec out;
    out.reserve(self->items().size() + 1);
    for (const Owned &item : self->items()) out.push_back(Owned::borrow(item.get()));
    out.push_back(Owned::borrow(a.object(0)));
    return new_sequence(std::move(out), self->cursor);
}

PyObject *op_prepend(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Signature sig{"prepend", item_param};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    ItemVec out;
    out.reserve(self->items().size() + 1);
    out.push_back(Owned::borrow(a.object(0)));
    for (const Owned &item : self->items()) out.push_back(Owned::borrow(item.get()));
    return new_sequence(std::move(out), self->cursor);
}

}  // namespace lumo
