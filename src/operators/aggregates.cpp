// Numeric aggregates: sum, average, max, min. The numeric conversion (__float__, __index__) and
// the repr of non-numeric items run Python code under shared access. Warning lines go straight
// to file descriptor 2, unbuffered, in scan order.
#include "core/access.hpp"
#include "core/errors.hpp"
#include "operators/key_strings.hpp"
#include "operators/operators.hpp"

#include <cerrno>
#include <charconv>
#include <unistd.h>

namespace lumo {

namespace {

// Writes all of `text` to fd 2, retrying partial writes and EINTR. A closed descriptor, or any
// other write error, drops the rest of the line silently.
void write_stderr(const Bytes &text) noexcept {
    const char *p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(2, p, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += written;
        left -= static_cast<std::size_t>(written);
    }
}

enum class Aggregate : std::uint8_t { Sum, Average, Max, Min };

// Reads `item` as a double: 1 numeric, 0 not numeric (its exception discarded), -1 with an
// interrupt or MemoryError pending. may run Python
int numeric_value(PyObject *item, double &out) noexcept {
    if (PyFloat_CheckExact(item)) {
        out = PyFloat_AS_DOUBLE(item);
        return 1;
    }
    // An exact int converts without a temporary float; too large an int overflows here just as
    // it does through __float__.
    double v = PyLong_CheckExact(item) ? PyLong_AsDouble(item) : PyFloat_AsDouble(item);
    if (v == -1.0 && PyErr_Occurred()) return discard_pending_error() ? 0 : -1;
    out = v;
    return 1;
}

PyObject *aggregate(Seq *self, Aggregate op, const char *header) {
    SharedAccess access(self);
    if (!access) return nullptr;
    if (self->items().empty()) Py_RETURN_NONE;
    bool header_written = false, have_extreme = false;
    double total = 0.0, extreme = 0.0;
    std::uint64_t count = 0;
    Bytes line, repr_text;
    for (std::size_t i = 0; i < self->items().size(); ++i) {
        double v = 0.0;
        int numeric = numeric_value(self->items()[i].get(), v);
        if (numeric < 0) return nullptr;
        if (numeric) {
            switch (op) {
            case Aggregate::Average: ++count; [[fallthrough]];
            case Aggregate::Sum: total += v; break;
            case Aggregate::Max:
                if (!have_extreme || v > extreme) extreme = v;
                have_extreme = true;
                break;
            case Aggregate::Min:
                if (!have_extreme || v < extreme) extreme = v;
                have_extreme = true;
                break;
            }
            continue;
        }
        if (!header_written) {
            line.assign(header);
            write_stderr(line);
            header_written = true;
        }
        if (!key_string(self->items()[i].get(), repr_text)) return nullptr;  // may run Python
        char digits[24];
        auto end = std::to_chars(digits, digits + sizeof digits, static_cast<unsigned long long>(i)).ptr;
        line.assign("  at index ");
        line.append(digits, static_cast<std::size_t>(end - digits));
        line.append(": ");
        line.append(repr_text);
        line.push_back('\n');
        write_stderr(line);
    }
    switch (op) {
    case Aggregate::Sum: return PyFloat_FromDouble(total);
    case Aggregate::Average:
        if (count == 0) Py_RETURN_NONE;
        return PyFloat_FromDouble(total / static_cast<double>(count));
    case Aggregate::Max:
    case Aggregate::Min:
        break;
    }
    if (!have_extreme) Py_RETURN_NONE;
    return PyFloat_FromDouble(extreme);
}

}  // namespace

PyObject *op_sum(Seq *self) {
    return aggregate(self, Aggregate::Sum, "Warning: Non-numeric value found in sequence during sum operation\n");
}
PyObject *op_average(Seq *self) {
    return aggregate(self, Aggregate::Average, "Warning: Non-numeric value found in sequence during average operation\n");
}
PyObject *op_max(Seq *self) {
    return aggregate(self, Aggregate::Max, "Warning: Non-numeric value found in sequence during max operation\n");
}
PyObject *op_min(Seq *self) {
    return aggregate(self, Aggregate::Min, "Warning: Non-numeric value found in sequence during min operation\n");
}

}  // namespace lumo
