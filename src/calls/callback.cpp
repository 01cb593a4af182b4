// Per-item calls of user callables, answered natively where that is exact. The guards are
// re-read before every item, because any Python code that ran since the last one (a real call, the
// operator's other callable, a __hash__, a finalizer) may have changed what they guard: the
// function's __code__ and defaults, a tracer or monitoring tool, the recursion limit. The program
// itself re-reads closure cells, globals and types' version tags as it goes.
#include "calls/callback.hpp"

#include "calls/interpreter.h"
#include "core/errors.hpp"

#include <cstdlib>
#include <cstring>

namespace lumo {
namespace {

bool native_on = true;
std::uint64_t evaluations_total = 0;
const std::uint8_t *global_monitors = nullptr;  // the interpreter's, for the rest of the process
std::size_t global_monitor_count = 0;

// The type of the operator module's itemgetter or attrgetter: named so, and made by that module
// (a Python class has no module object of its own, and these types cannot be subclassed).
bool is_operator_getter(PyObject *callable, const char *qualified) noexcept {
    PyTypeObject *type = Py_TYPE(callable);
    if (std::strcmp(type->tp_name, qualified) != 0 || !(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return false;
    PyObject *module = PyType_GetModule(type);  // borrowed
    const char *name = module != nullptr ? PyModule_GetName(module) : nullptr;
    if (name == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::strcmp(name, "_operator") == 0;
}

// The one key a getter was made with, from its own __reduce__ (C code): a new reference, or
// nullptr (nothing set) when it has several or is not what is expected.
PyObject *getter_key(PyObject *getter) noexcept {
    Owned reduced{PyObject_CallMethod(getter, "__reduce__", nullptr)};
    if (!reduced) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject *r = reduced.get();
    if (!PyTuple_CheckExact(r) || PyTuple_GET_SIZE(r) != 2) return nullptr;
    PyObject *args = PyTuple_GET_ITEM(r, 1);
    if (!PyTuple_CheckExact(args) || PyTuple_GET_SIZE(args) != 1) return nullptr;
    return Py_NewRef(PyTuple_GET_ITEM(args, 0));
}

}  // namespace

Callback::Callback(PyObject *callable, int arg_count) noexcept : callable_(callable), arg_count_(arg_count) {
    if (!native_on || !programs_available()) return;
    if (PyFunction_Check(callable)) {
        function_ = reinterpret_cast<PyFunctionObject *>(callable);
        use_code(function_->func_code);
    } else if (arg_count == 1) {
        prepare_getter(callable);
    }
    if (program_ == nullptr) return;
    thread_ = PyThreadState_Get();
    // The depth at which the operator runs holds for all its items: where the real call would
    // meet the interpreter's C recursion limit, it is made, and raises as it would.
    if (!recursion_headroom(call_recursion_levels)) program_ = nullptr;
}

Callback::~Callback() { evaluations_total += evaluated_; }

void Callback::use_code(PyObject *code) noexcept {
    program_ = PyCode_Check(code) ? program_of(reinterpret_cast<PyCodeObject *>(code), arg_count_) : nullptr;
    code_ = program_ != nullptr ? Owned::borrow(code) : Owned();
    missing_ = program_ != nullptr ? program_->parameters - arg_count_ : 0;
}

bool Callback::use_new_code() noexcept {
    // A real call may have given the function another body. The old code object is released
    // last: a weak reference's callback on it may run Python code, and change the body again.
    Owned previous = std::move(code_);
    use_code(function_->func_code);
    previous.reset();  // may run Python
    return program_ != nullptr && function_->func_code == code_.get();
}

bool Callback::defaults_cover_missing() const noexcept {
    PyObject *defaults = function_->func_defaults;
    return defaults != nullptr && PyTuple_GET_SIZE(defaults) >= missing_;
}

bool Callback::local_monitors(PyCodeObject *code) noexcept { return lumo_code_has_local_monitors(code) != 0; }

// Reads the tools' bytes as two overlapping words.
bool Callback::monitors_listen() noexcept {
    if (global_monitor_count < 8 || global_monitor_count > 16) return true;  // not a layout read here
    std::uint64_t head = 0, tail = 0;
    std::memcpy(&head, global_monitors, 8);
    std::memcpy(&tail, global_monitors + global_monitor_count - 8, 8);
    return (head | tail) != 0;
}

void Callback::prepare_getter(PyObject *callable) noexcept {
    const bool items = is_operator_getter(callable, "operator.itemgetter");
    if (!items && !is_operator_getter(callable, "operator.attrgetter")) return;
    Owned key{getter_key(callable)};
    if (!key) return;
    try {
        getter_.nodes.push_back({Shape::Argument});
        if (items) {
            getter_.nodes.push_back({Shape::Constant, 0, 0, 0, 0, 0, key.get()});
            getter_.nodes.push_back({Shape::Subscript, 0, 0, 1});
            getter_.subscript_hints.push_back({0, nullptr, nullptr, 0});
            getter_keys_ = std::move(key);
        } else {
            if (!PyUnicode_CheckExact(key.get())) return;
            // A dotted name reads an attribute of an attribute: one node per name.
            Owned dot{PyUnicode_FromString(".")};
            Owned names{dot ? PyUnicode_Split(key.get(), dot.get(), -1) : nullptr};
            if (!names) {
                PyErr_Clear();
                return;
            }
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
                getter_.nodes.push_back({Shape::Attribute, 0, static_cast<std::uint16_t>(getter_.nodes.size() - 1), 0,
                                         0, static_cast<std::uint32_t>(getter_.attribute_caches.size()),
                                         PyList_GET_ITEM(names.get(), i)});
                getter_.attribute_caches.emplace_back();
            }
            getter_keys_ = std::move(names);
        }
    } catch (const std::bad_alloc &) {
        return;  // out of memory: the getter is simply called
    }
    getter_.parameters = 1;
    getter_.root = static_cast<std::uint16_t>(getter_.nodes.size() - 1);
    find_form(getter_);
    program_ = &getter_;
}

bool set_native_evaluation(bool on) noexcept { return std::exchange(native_on, on); }

std::uint64_t native_evaluations() noexcept { return evaluations_total; }

void init_calls() noexcept {
    const char *setting = std::getenv("LUMO_NATIVE");
    native_on = setting == nullptr || std::strcmp(setting, "0") != 0;
    reserve_program_slot();
    global_monitors = lumo_global_monitors(&global_monitor_count);
}

}  // namespace lumo
