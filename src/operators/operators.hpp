// Declarations of every method of LumoSeq, in method-table order. Each returns a new reference,
// or nullptr with an exception set; allocation failures leave as std::bad_alloc and are turned
// into MemoryError by the entry wrappers.
#pragma once

#include "core/seq.hpp"

namespace lumo {

#define LUMO_FAST(name) PyObject *name(Seq *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)

// conversions and element access (operators/conversions.cpp)
PyObject *op_list(Seq *self);
PyObject *op_tuple(Seq *self);
PyObject *op_set(Seq *self);
PyObject *op_iter(Seq *self);
PyObject *op_len(Seq *self);
PyObject *op_empty(Seq *self);
LUMO_FAST(op_at);
LUMO_FAST(op_first);
LUMO_FAST(op_last);

// projection and filtering (operators/projection.cpp)
LUMO_FAST(op_enumerate);
LUMO_FAST(op_select);
LUMO_FAST(op_where);
LUMO_FAST(op_of_type);
LUMO_FAST(op_cast);

// ordering (operators/ordering.cpp)
PyObject *op_rev(Seq *self);
LUMO_FAST(op_order_by);

// grouping and dictionaries (operators/grouping.cpp)
LUMO_FAST(op_group_by);
LUMO_FAST(op_to_dict);

// single-item additions (operators/additions.cpp)
LUMO_FAST(op_append);
LUMO_FAST(op_prepend);

// join (operators/join.cpp)
LUMO_FAST(op_join);

// whole-element and key-based set operators (operators/set_operators.cpp)
PyObject *op_distinct(Seq *self);
LUMO_FAST(op_concat);
LUMO_FAST(op_union);
LUMO_FAST(op_intersect);
LUMO_FAST(op_differ);
LUMO_FAST(op_distinct_by);
LUMO_FAST(op_except_by);
LUMO_FAST(op_intersect_by);
LUMO_FAST(op_union_by);

// cursor walk (operators/cursor.cpp)
LUMO_FAST(op_skip);
PyObject *op_restart(Seq *self);
LUMO_FAST(op_take);
LUMO_FAST(op_skip_while);
LUMO_FAST(op_take_while);

// zipping (operators/zipping.cpp)
LUMO_FAST(op_zip);
LUMO_FAST(op_zips);

// reshaping (operators/reshaping.cpp)
PyObject *op_flatten(Seq *self);
LUMO_FAST(op_chunk);

// numeric aggregates (operators/aggregates.cpp)
PyObject *op_sum(Seq *self);
PyObject *op_average(Seq *self);
PyObject *op_max(Seq *self);
PyObject *op_min(Seq *self);

// folding and key extremes (operators/folding.cpp)
LUMO_FAST(op_aggregate);
LUMO_FAST(op_min_by);
LUMO_FAST(op_max_by);

#undef LUMO_FAST

}  // namespace lumo
