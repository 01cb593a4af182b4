// Zipping: zip and zips. Only the conversion of until_exhausted may run Python code (a NumPy
// truth slot), before any input is read; the inputs are then copied into private vectors.
#include "core/binding.hpp"
#include "operators/operators.hpp"
#include "operators/sequence_arguments.hpp"

#include <algorithm>

namespace lumo {

namespace {

using InputVec = std::vector<ItemVec, PyMemAllocator<ItemVec>>;

// Builds one tuple per position up to the shortest (or longest) input, None-filling gaps.
PyObject *zip_inputs(const InputVec &inputs, bool until_exhausted) {
    std::size_t limit = inputs.front().size();
    for (const ItemVec &input : inputs)
        limit = until_exhausted ? std::max(limit, input.size()) : std::min(limit, input.size());
    Result out;
    out.reserve(limit);
    const std::size_t width = inputs.size();
    PyMemVec<PyObject *> parts(width);
    for (std::size_t k = 0; k < limit; ++k) {
        for (std::size_t j = 0; j < width; ++j) {
            const ItemVec &input = inputs[j];
            if (k + prefetch_distance < input.size()) prefetch(input[k + prefetch_distance].get());
            parts[j] = k < input.size() ? input[k].get() : Py_None;
        }
        bool needs_tracking = false;
        Owned row{new_fresh_tuple(parts.data(), width, needs_tracking)};
        if (!row) return nullptr;
        out.add_fresh(std::move(row), needs_tracking);
    }
    return out.finish(0);
}

}  // namespace

PyObject *op_zip(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"other", ParamKind::Any, true}, {"until_exhausted", ParamKind::StrictBool, false}};
    static constexpr Signature sig{"zip", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    InputVec inputs(2);
    inputs[0] = copy_items(self);
    if (!sequence_argument_items(a.object(0), "Expected LumoSeq, list, or tuple for zip operation", inputs[1]))
        return nullptr;
    return zip_inputs(inputs, a[1].flag);
}

PyObject *op_zips(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr Param params[] = {{"others", ParamKind::List, true}, {"until_exhausted", ParamKind::StrictBool, false}};
    static constexpr Signature sig{"zips", params};
    BoundCall<SharedAccess> a(self, sig, args, nargs, kwnames);
    if (!a) return nullptr;
    PyObject *others = a.object(0);
    InputVec inputs;
    inputs.reserve(1 + static_cast<std::size_t>(PyList_GET_SIZE(others)));
    inputs.push_back(copy_items(self));
    // No Python code runs in this loop, so the list cannot change under it.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(others); ++i) {
        ItemVec input;
        if (!sequence_argument_items(PyList_GET_ITEM(others, i),
                                     "Expected sequences (LumoSeq, list, or tuple) for zip operation", input))
            return nullptr;
        inputs.push_back(std::move(input));
    }
    return zip_inputs(inputs, a[1].flag);
}

}  // namespace lumo
