// The LumoSeq type: its slots and its method table. Dealloc may run finalizers of items;
// the storage is released through core/seq.cpp, which detaches it before any reference goes.
#include "module/entry.hpp"
#include "module/pickling.hpp"
#include "module/type.hpp"
#include "operators/operators.hpp"


namespace lumo {

namespace {

void seq_dealloc(PyObject *op) noexcept {
    Seq *self = as_seq(op);
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    Py_TRASHCAN_BEGIN(op, seq_dealloc)
    release_seq_fields(self);
    PyObject_GC_Del(op);
    Py_DECREF(type);  // a heap type's instances own a reference to it; released last
    Py_TRASHCAN_END
}

// Items are fixed at creation, so there is no clear: breaking a cycle is left to the other
// objects in it, as for tuples.
int seq_traverse(PyObject *op, visitproc visit, void *arg) noexcept {
    Py_VISIT(Py_TYPE(op));
    return visit_seq_fields(as_seq(op), visit, arg);
}

PyObject *seq_new(PyTypeObject *, PyObject *args, PyObject *kwds) noexcept {
    static const char *kwlist[] = {"items", nullptr};
    PyObject *items = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:LumoSeq", const_cast<char **>(kwlist), &items)) return nullptr;
    if (!PyList_CheckExact(items) && !PyType_IsSubtype(Py_TYPE(items), &PyList_Type)) {
        PyErr_Format(PyExc_TypeError, "LumoSeq() argument 'items' must be list, not %.200s", Py_TYPE(items)->tp_name);
        return nullptr;
    }
    // The type cannot be subclassed, so the object to make is always a LumoSeq.
    return guarded([&] { return new_sequence_from_list(items, 0); });
}

// LumoSeq[int] is a types.GenericAlias, as list[int] is, so annotations need no quotes.
// Returns a new reference, or nullptr with an exception set.
PyObject *seq_class_getitem(PyObject *cls, PyObject *arg) noexcept {
    return Py_GenericAlias(cls, arg);
}

#define LUMO_NOARGS(name, doc) {#name, entry_noargs<op_##name>, METH_NOARGS, doc}
#define LUMO_FAST_ENTRY(name, impl, doc) \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry_fast<impl>)), METH_FASTCALL | METH_KEYWORDS, doc}
#define LUMO_FASTKW(name, doc) LUMO_FAST_ENTRY(#name, op_##name, doc)

PyMethodDef seq_methods[] = {
    LUMO_NOARGS(list, "list($self)\n--\n\nReturns a Python list containing all items in the sequence."),
    LUMO_NOARGS(tuple, "tuple($self)\n--\n\nReturns a Python tuple containing all items in the sequence."),
    LUMO_NOARGS(set, "set($self)\n--\n\nReturns a Python set containing all items in the sequence."),
    LUMO_FASTKW(enumerate, "enumerate($self, start_index=0)\n--\n\n"
                           "Returns a new sequence where each element is a tuple of (index, value)."),
    LUMO_NOARGS(iter, "iter($self)\n--\n\nReturns a Python iterator over the sequence."),
    LUMO_NOARGS(len, "len($self)\n--\n\nReturns the number of items in the sequence."),
    LUMO_NOARGS(empty, "empty($self)\n--\n\nReturns true if the sequence is empty."),
    LUMO_NOARGS(rev, "rev($self)\n--\n\nReverses the sequence."),
    LUMO_FASTKW(select, "select($self, func)\n--\n\nReturns a new sequence applying the given function to each item."),
    LUMO_FASTKW(where, "where($self, predicate)\n--\n\nReturns a new sequence filtering items based on the given predicate."),
    LUMO_FASTKW(of_type, "of_type($self, ty)\n--\n\nReturns a new sequence filtering items based on the given type."),
    LUMO_FASTKW(order_by, "order_by($self, key)\n--\n\nOrders the sequence based on the given key function."),
    LUMO_FASTKW(group_by, "group_by($self, key_func)\n--\n\n"),
    LUMO_FASTKW(at, "at($self, index, default=None)\n--\n\n"
                    "Returns the element at the given index, or the default value if the index is out of bounds."),
    LUMO_FASTKW(first, "first($self, default=None)\n--\n\n"
                       "Returns the first element in the sequence, or the default value if the sequence is empty."),
    LUMO_FASTKW(last, "last($self, default=None)\n--\n\n"
                      "Returns the last element in the sequence, or the default value if the sequence is empty."),
    LUMO_FASTKW(append, "append($self, item)\n--\n\nAdds an item to the end of the sequence."),
    LUMO_FASTKW(prepend, "prepend($self, item)\n--\n\nAdds an item to the beginning of the sequence."),
    LUMO_FASTKW(join, "join($self, other, outer_key_func, inner_key_func)\n--\n\n"
                      "Joins this sequence with another sequence based on matching keys.\n"
                      "outer_key_func extracts keys from this sequence.\n"
                      "inner_key_func extracts keys from the input sequence.\n"
                      "Returns a new sequence with pairs of matching elements."),
    LUMO_NOARGS(distinct, "distinct($self)\n--\n\nReturns a new sequence with duplicate elements removed."),
    LUMO_FASTKW(concat, "concat($self, other)\n--\n\nConcatenates this sequence with another sequence, list, or tuple."),
    LUMO_FASTKW(union, "union($self, other)\n--\n\n"
                       "Returns a new sequence with elements from both sequences, removing duplicates."),
    LUMO_FASTKW(intersect, "intersect($self, other)\n--\n\nReturns a new sequence with elements that exist in both sequences."),
    LUMO_FASTKW(differ, "differ($self, other)\n--\n\n"
                        "Returns a new sequence with elements from this sequence that don't exist in the other sequence."),
    LUMO_FASTKW(skip, "skip($self, n)\n--\n\nSkips the next n items in the sequence, advancing the pointer."),
    LUMO_NOARGS(restart, "restart($self)\n--\n\nRestarts the sequence by resetting the pointer to zero."),
    LUMO_FASTKW(take, "take($self, n)\n--\n\n"
                      "Takes the next n items from the current position.\n"
                      "Returns a tuple containing:\n"
                      "- A new sequence with the next n items (or fewer if less are available)\n"
                      "- The original sequence with the pointer advanced"),
    LUMO_FASTKW(zip, "zip($self, other, until_exhausted=False)\n--\n\n"
                     "Combines elements from this sequence with elements from another sequence.\n"
                     "If until_exhausted is True, continues until both sequences are exhausted,\n"
                     "filling in None for missing values. If False (default), stops when the shorter sequence is exhausted."),
    LUMO_FASTKW(zips, "zips($self, others, until_exhausted=False)\n--\n\n"
                      "Combines elements from this sequence with elements from other sequences.\n"
                      "Returns a new sequence with tuples containing corresponding elements from each sequence.\n"
                      "If until_exhausted is True, continues until all sequences are exhausted,\n"
                      "filling in None for missing values. If False (default), stops when the shortest sequence is exhausted."),
    LUMO_NOARGS(flatten, "flatten($self)\n--\n\n"),
    LUMO_NOARGS(sum, "sum($self)\n--\n\nReturns the sum of all elements. Warns if non-numeric elements are present."),
    LUMO_NOARGS(average, "average($self)\n--\n\nReturns the average of all elements. Warns if non-numeric elements are present."),
    LUMO_NOARGS(max, "max($self)\n--\n\nReturns the maximum value in the sequence. Warns if non-numeric elements are present."),
    LUMO_NOARGS(min, "min($self)\n--\n\nReturns the minimum value in the sequence. Warns if non-numeric elements are present."),
    LUMO_FASTKW(cast, "cast($self, ty, silent=False)\n--\n\n"
                      "Attempts to cast all items in the sequence to the specified type.\n"
                      "If silent is True, items that can't be cast will be skipped instead of raising an error."),
    LUMO_FASTKW(to_dict, "to_dict($self, key_func, value_func)\n--\n\n"
                         "Creates a dictionary from the sequence using key_func to generate keys and value_func to generate values."),
    LUMO_FASTKW(aggregate, "aggregate($self, func, seed=None)\n--\n\n"
                           "Applies an accumulator function over a sequence.\n"
                           "The function should take two parameters: accumulator and item."),
    LUMO_FASTKW(skip_while, "skip_while($self, predicate)\n--\n\nSkips elements as long as a condition is true."),
    LUMO_FASTKW(take_while, "take_while($self, predicate)\n--\n\n"
                            "Takes items from the current position as long as they satisfy the predicate.\n"
                            "Returns a tuple containing:\n"
                            "- A new sequence with the items that satisfy the predicate\n"
                            "- The original sequence with the pointer advanced past those items"),
    LUMO_FASTKW(distinct_by, "distinct_by($self, key_selector)\n--\n\n"
                             "Returns a new sequence with elements having distinct values according to the key selector function."),
    LUMO_FASTKW(except_by, "except_by($self, other, key_selector)\n--\n\n"
                           "Returns a new sequence with elements from this sequence whose keys don't exist in the other sequence."),
    LUMO_FASTKW(intersect_by, "intersect_by($self, other, key_selector)\n--\n\n"
                              "Returns a new sequence with elements that exist in both sequences, comparing by keys."),
    LUMO_FASTKW(union_by, "union_by($self, other, key_selector)\n--\n\n"
                          "Returns a new sequence with elements from both sequences, removing duplicates based on keys."),
    LUMO_FASTKW(min_by, "min_by($self, key_selector)\n--\n\n"
                        "Returns the element with the minimum value as determined by the key selector."),
    LUMO_FASTKW(max_by, "max_by($self, key_selector)\n--\n\n"
                        "Returns the element with the maximum value as determined by the key selector."),
    LUMO_FASTKW(chunk, "chunk($self, chunk_size)\n--\n\n"
                       "Splits the sequence into chunks of the specified size.\n"
                       "Returns a new sequence containing subsequences (as LumoSeq objects) of the specified size.\n"
                       "The last chunk may contain fewer elements if the sequence length is not divisible by the chunk_size."),
    // Pickling and copying (module/pickling.cpp): a pickle holds a list of the items and the cursor.
    {"__reduce__", entry_noargs<seq_reduce>, METH_NOARGS,
     "__reduce__($self)\n--\n\nHelper for pickle: the sequence is rebuilt by lumo._restore from a list of its items and its cursor."},
    {"__copy__", entry_noargs<seq_copy>, METH_NOARGS,
     "__copy__($self)\n--\n\nReturns the sequence itself: it never changes, so a copy could not differ from it."},
    LUMO_FAST_ENTRY("__deepcopy__", seq_deepcopy,
                    "__deepcopy__($self, memo=None)\n--\n\n"
                    "Returns a sequence of deep copies of the items, made through memo, with the same cursor;\n"
                    "the sequence itself when every item copies to itself."),
    {"__class_getitem__", seq_class_getitem, METH_O | METH_CLASS, "__class_getitem__($type, item, /)\n--\n\nSee PEP 585"},
    {nullptr, nullptr, 0, nullptr},
};

#undef LUMO_NOARGS
#undef LUMO_FASTKW
#undef LUMO_FAST_ENTRY

PyType_Slot seq_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(seq_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(seq_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(seq_traverse)},
    {Py_tp_doc, const_cast<char *>("LumoSeq(items)\n--\n\n")},
    {Py_tp_methods, seq_methods},
    {0, nullptr},
};

PyType_Spec seq_spec = {
    "builtins.LumoSeq",
    sizeof(Seq),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,  // GC so that cycles through a sequence are found
    seq_slots,
};

}  // namespace

PyTypeObject *get_seq_type() noexcept {
    if (seq_type == nullptr) seq_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&seq_spec));
    return seq_type;
}

}  // namespace lumo
