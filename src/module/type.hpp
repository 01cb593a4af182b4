// Creation of the LumoSeq type object, once per process.
#pragma once

#include "core/seq.hpp"

namespace lumo {

// Returns the borrowed type object, creating it on first use; nullptr with an exception set.
PyTypeObject *get_seq_type() noexcept;

}  // namespace lumo
