// Reshaping: chunk and flatten. Only the conversion of chunk_size may run Python code
// (__index__), before any item is read. flatten walks with an explicit stack (deep nesting
// cannot overflow the native stack) and refuses a container already on its path.
#include "core/binding.hpp"
#include "operators/operators.hpp"
#include "operators/sequence_arguments.hpp"

#include <unordered_set>

namespace lumo {

PyObject *op_chunk(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"chunk_size", ParamKind::Unsigned64, true}};
    static constexpr Signature sig{"chunk", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    const std::uint64_t size = a[0].u64;
    if (size == 0) {
        PyErr_SetString(PyExc_ValueError, "Chunk size must be greater than 0");
        return nullptr;
    }
    const std::size_t n = self->items().size();
    ItemVec out;
    out.reserve(n / size + (n % size != 0));
    // Boundaries come from what is left, so no product or sum can pass 2^64 - 1.
    for (std::size_t start = 0; start < n;) {
        const std::size_t count = (n - start) < size ? (n - start) : static_cast<std::size_t>(size);
        ItemVec chunk;
        append_items(chunk, self->items().data() + start, count);
        Owned seq{new_sequence(std::move(chunk), 0, self)};
        if (!seq) return nullptr;
        out.push_back(std::move(seq));
        start += count;
    }
    return new_sequence(std::move(out), 0);
}

namespace {

bool is_expandable(PyObject *v) noexcept { return is_seq(v) || PyList_Check(v) || PyTuple_Check(v); }

struct Frame {
    Owned container;  // keeps the container, and so its address in `on_path`, alive
    ItemVec items;    // a snapshot of its items
    std::size_t next = 0;
};

}  // namespace

PyObject *op_flatten(Seq *self) {
    SharedAccess access(self);
    if (!access) return nullptr;
    ItemVec out;
    std::vector<Frame, PyMemAllocator<Frame>> stack;
    std::unordered_set<PyObject *, std::hash<PyObject *>, std::equal_to<PyObject *>, PyMemAllocator<PyObject *>>
        on_path;
    stack.push_back(Frame{Owned::borrow(reinterpret_cast<PyObject *>(self)), copy_items(self), 0});
    on_path.insert(reinterpret_cast<PyObject *>(self));
    while (!stack.empty()) {
        Frame &top = stack.back();
        if (top.next == top.items.size()) {
            on_path.erase(top.container.get());
            stack.pop_back();
            continue;
        }
        PyObject *value = top.items[top.next++].get();  // held by the frame's snapshot
        if (!is_expandable(value)) {
            out.push_back(Owned::borrow(value));
            continue;
        }
        if (on_path.count(value)) {
            PyErr_SetString(PyExc_RecursionError, "flatten() found a container that holds itself");
            return nullptr;
        }
        Frame inner{Owned::borrow(value), ItemVec(), 0};
        if (!sequence_argument_items(value, "", inner.items)) return nullptr;  // held by skip
        on_path.insert(value);
        try {
            stack.push_back(std::move(inner));
        } catch (...) {
            on_path.erase(value);
            throw;
        }
    }
    return new_sequence(std::move(out), 0);
}

}  // namespace lumo
