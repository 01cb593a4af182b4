// Key strings. repr() runs Python code (__repr__); a failure is reported to the unraisable hook,
// which may run Python too, and replaced by a fixed text naming the key's type.
#include "operators/key_strings.hpp"

#include "core/errors.hpp"

#include <charconv>

namespace lumo {

namespace {

// Appends the UTF-8 text of `text`, making lone surrogates valid (each becomes three U+FFFD).
// False with an exception set.
bool append_utf8(PyObject *text, Bytes &out) {
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 != nullptr) {
        out.append(utf8, static_cast<std::size_t>(size));
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    Owned raw{PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass")};
    if (!raw) return false;
    Owned valid{PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace")};
    if (!valid) return false;
    utf8 = PyUnicode_AsUTF8AndSize(valid.get(), &size);
    if (utf8 == nullptr) return false;
    out.append(utf8, static_cast<std::size_t>(size));
    return true;
}

}  // namespace

bool value_key_string(PyObject *key, Bytes &out) {
    out.clear();
    if (key == Py_None) {
        out.append("None");
    } else if (key == Py_True) {
        out.append("True");
    } else if (key == Py_False) {
        out.append("False");
    } else if (PyLong_CheckExact(key)) {
        char digits[24];
        auto written = std::to_chars(digits, digits + sizeof digits, PyLong_AsLongLong(key));
        out.append(digits, written.ptr);
    } else if (PyTuple_CheckExact(key)) {
        Owned text{PyObject_Repr(key)};  // runs only the reprs of the items above
        return text && append_utf8(text.get(), out);
    } else {
        // str's own repr, called directly: PyObject_Repr would add only a recursion check, and
        // callers have made sure that one passes.
        Owned text{PyUnicode_Type.tp_repr(key)};
        return text && append_utf8(text.get(), out);
    }
    return true;
}

bool key_string(PyObject *key, Bytes &out) {
    out.clear();
    Owned text{PyObject_Repr(key)};  // may run Python
    if (text) {
        if (append_utf8(text.get(), out)) return true;
        if (pending_error_is_fatal()) return false;
    } else if (pending_error_is_fatal()) {
        return false;
    }
    PyErr_WriteUnraisable(key);  // clears the error; the hook may run Python
    out.clear();
    Owned name{PyType_GetName(Py_TYPE(key))};
    Py_ssize_t size = 0;
    const char *utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (utf8 == nullptr) {
        if (pending_error_is_fatal()) return false;
        PyErr_Clear();
        out.append("<unprintable object>");
        return true;
    }
    out.append("<unprintable ");
    out.append(utf8, static_cast<std::size_t>(size));
    out.append(" object>");
    return true;
}

}  // namespace lumo
