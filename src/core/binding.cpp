// Argument binding and parameter conversion for the fast-call-with-keywords methods.
// Binding runs no Python code; conversion may (__index__, a NumPy truth slot).
#include "core/binding.hpp"

#include "core/errors.hpp"

namespace lumo {

namespace {

// Replaces a pending TypeError with a new TypeError that names the parameter, keeping the
// original as __cause__. Other exceptions (OverflowError) pass unchanged.
void name_parameter_in_error(const Signature &sig, const Param &p) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_TypeError, "%s() argument '%s': %S", sig.method, p.name, cause);
    PyObject *wrapped = PyErr_GetRaisedException();
    if (wrapped == nullptr) {  // formatting failed; its error is the one to report
        Py_DECREF(cause);
        return;
    }
    PyException_SetCause(wrapped, Py_NewRef(cause));
    PyException_SetContext(wrapped, cause);  // steals
    PyErr_SetRaisedException(wrapped);
}

bool convert_unsigned(PyObject *obj, std::uint64_t &out) noexcept {
    if (PyLong_Check(obj)) {
        out = PyLong_AsUnsignedLongLong(obj);
        return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
    }
    Owned index{PyNumber_Index(obj)};  // may run Python
    if (!index) return false;
    out = PyLong_AsUnsignedLongLong(index.get());
    return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

bool convert_signed(PyObject *obj, std::int64_t &out) noexcept {
    long long v = PyLong_AsLongLong(obj);  // accepts __index__; may run Python
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

}  // namespace

bool Args::bind(const Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    sig_ = &sig;
    const std::size_t count = sig.params.size();
    nargs = PyVectorcall_NARGS(nargs);
    if (static_cast<std::size_t>(nargs) > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", sig.method, count,
                     count == 1 ? "" : "s", nargs);
        return false;
    }
    std::array<PyObject *, max_params> given{};
    for (Py_ssize_t i = 0; i < nargs; ++i) given[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t slot = count;
        for (std::size_t i = 0; i < count; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) {
                slot = i;
                break;
            }
        }
        if (slot == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.method, key);
            return false;
        }
        if (given[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.method,
                         sig.params[slot].name);
            return false;
        }
        given[slot] = args[nargs + k];
    }
    for (std::size_t i = 0; i < count; ++i) {
        const Param &p = sig.params[i];
        if (given[i] == nullptr && p.required) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", sig.method, p.name,
                         i + 1);
            return false;
        }
        // An optional any-object parameter defaults to None, and an explicit None means the same.
        if (p.kind == ParamKind::Any && !p.required && given[i] == Py_None) given[i] = nullptr;
        values_[i] = Value{};
        values_[i].object = given[i];
    }
    return true;
}

bool Args::convert() noexcept {
    const Signature &sig = *sig_;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        const Param &p = sig.params[i];
        Value &v = values_[i];
        if (v.object == nullptr) continue;  // omitted: the kind's default (0, false) stands
        switch (p.kind) {
        case ParamKind::Unsigned64:
            if (!convert_unsigned(v.object, v.u64)) {
                name_parameter_in_error(sig, p);
                return false;
            }
            break;
        case ParamKind::Signed64:
            if (!convert_signed(v.object, v.i64)) {
                name_parameter_in_error(sig, p);
                return false;
            }
            break;
        case ParamKind::StrictBool: {
            int truth = strict_bool(v.object);
            if (truth < 0) {
                name_parameter_in_error(sig, p);
                return false;
            }
            v.flag = truth != 0;
            break;
        }
        case ParamKind::TypeObject:
            if (!PyType_Check(v.object)) {
                PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a type, not %.200s", sig.method, p.name,
                             Py_TYPE(v.object)->tp_name);
                return false;
            }
            break;
        case ParamKind::List:
            if (!PyList_Check(v.object)) {
                PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a list, not %.200s", sig.method, p.name,
                             Py_TYPE(v.object)->tp_name);
                return false;
            }
            break;
        case ParamKind::Any:
            break;
        }
    }
    return true;
}

}  // namespace lumo
