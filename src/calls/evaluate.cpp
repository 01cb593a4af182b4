// Evaluation of a recognised program for one call's arguments. Every step first proves that the
// interpreter would run no Python code for the operands at hand (exact built-in types, dicts whose
// keys are all strs, attributes that live in the instance or a slot) and then does what the
// interpreter's own instruction does, through the same C functions where it can; anything else
// gives up, with no exception left set, and the caller makes the real call. Nothing here has a
// side effect a program could observe, so giving up halfway is always exact.
#include "calls/interpreter.h"
#include "calls/program.hpp"
#include "core/prefetch.hpp"

#include <opcode.h>

#include <cstring>
#include <utility>

namespace lumo {
namespace {

// Gives up on a step whose C function failed: the real call meets the same failure and raises it
// itself, with its traceback.
PyObject *give_up() noexcept {
    PyErr_Clear();
    return nullptr;
}

// What a C function made, or nothing (and nothing set) where it failed.
PyObject *made_or_give_up(PyObject *made) noexcept { return made != nullptr ? made : give_up(); }


// Whether every key of the exact dict `dict` is an exact str, as the interpreter records it.
bool str_keyed(PyObject *dict) noexcept {
    const auto *keys = reinterpret_cast<const std::uint8_t *>(reinterpret_cast<PyDictObject *>(dict)->ma_keys);
    return keys[lumo_dict_keys_kind_offset] != lumo_dict_keys_general;
}

// The value of exact str `key` in `dict` when the lookup can run no Python code: borrowed, or
// nullptr when absent or when the lookup could (a dict subclass, a key of another type).
PyObject *str_lookup(PyObject *dict, PyObject *key) noexcept {
    if (!PyDict_CheckExact(dict) || !PyUnicode_CheckExact(key) || !str_keyed(dict)) return nullptr;
    PyObject *value = PyDict_GetItemWithError(dict, key);  // compares strs only: cannot fail
    if (value == nullptr && PyErr_Occurred()) PyErr_Clear();
    return value;
}

// The truth of `o` when its truth test is C code only: 1 or 0, or -1 (nothing set) otherwise.
int plain_truth(PyObject *o) noexcept {
    if (o == Py_True) return 1;
    if (o == Py_False || o == Py_None) return 0;
    if (PyLong_CheckExact(o)) return PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(o))
                                         ? PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(o)) != 0
                                         : 1;
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o) != 0.0;
    if (PyUnicode_CheckExact(o)) return PyUnicode_GET_LENGTH(o) != 0;
    if (PyTuple_CheckExact(o)) return PyTuple_GET_SIZE(o) != 0;
    if (PyList_CheckExact(o)) return PyList_GET_SIZE(o) != 0;
    if (PyDict_CheckExact(o)) return PyDict_GET_SIZE(o) != 0;
    return -1;
}

PyObject *new_bool(bool b) noexcept { return Py_NewRef(b ? Py_True : Py_False); }

// What `container`[`key`] reads, borrowed from the container, or nullptr.
PyObject *subscript(PyObject *container, PyObject *key, LumoFieldHint &hint) noexcept {
    if (PyDict_CheckExact(container)) {
        PyObject *value = nullptr;
        if (!PyUnicode_CheckExact(key) || lumo_str_dict_lookup(container, key, &hint, &value) <= 0) return nullptr;
        return value;  // a missing key raises: the real call does
    }
    const bool list = PyList_CheckExact(container);
    if (!PyLong_CheckExact(key) || !(list || PyTuple_CheckExact(container))) return nullptr;
    Py_ssize_t i = PyLong_AsSsize_t(key);
    if (i == -1 && PyErr_Occurred()) return give_up();
    const Py_ssize_t n = list ? PyList_GET_SIZE(container) : PyTuple_GET_SIZE(container);
    if (i < 0) i += n;
    if (i < 0 || i >= n) return nullptr;
    // A slot is empty only in a container still being built; reading it is the real call's business.
    return list ? PyList_GET_ITEM(container, i) : PyTuple_GET_ITEM(container, i);
}

// `x op y` for two doubles (NaN answering as float's own comparison does) or two C integers.
template <class Number>
bool compare_numbers(Number x, Number y, int op) noexcept {
    switch (op) {
    case Py_LT: return x < y;
    case Py_LE: return x <= y;
    case Py_EQ: return x == y;
    case Py_NE: return x != y;
    case Py_GT: return x > y;
    default: return x >= y;
    }
}

bool compact(PyObject *o, long long &value) noexcept {
    if (!PyLong_CheckExact(o) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(o))) return false;
    value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(o));
    return true;
}

PyObject *compare(PyObject *a, PyObject *b, int op) noexcept {
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
        return new_bool(compare_numbers(PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b), op));
    }
    long long x = 0, y = 0;
    if (compact(a, x) && compact(b, y)) return new_bool(compare_numbers(x, y, op));
    if (!is_plain(a) || !is_plain(b)) return nullptr;
    PyObject *result = PyObject_RichCompare(a, b, op);  // C code for these types; a TypeError gives up
    return made_or_give_up(result);
}

PyObject *arithmetic(PyObject *a, PyObject *b, unsigned int op) noexcept {
    long long x = 0, y = 0;
    if (compact(a, x) && compact(b, y)) {
        // Compact ints hold less than 2**30 in magnitude (2**62 on any build), so no step here
        // overflows, and each gives what the interpreter's int arithmetic gives; a zero divisor
        // is left to the real call, which raises.
        constexpr long long bound = 2147483648LL;  // 2**31: a product of two such stays exact
        const bool small = x > -bound && x < bound && y > -bound && y < bound;
        switch (op) {
        case NB_ADD:
        case NB_SUBTRACT:
        case NB_MULTIPLY: {
            if (!small) break;
            return made_or_give_up(PyLong_FromLongLong(op == NB_ADD ? x + y : op == NB_SUBTRACT ? x - y : x * y));
        }
        case NB_FLOOR_DIVIDE:
        case NB_REMAINDER: {
            if (y == 0 || !small) break;
            long long q = x / y, r = x % y;
            if (r != 0 && (r < 0) != (y < 0)) {  // Python rounds toward minus infinity
                q -= 1;
                r += y;
            }
            return made_or_give_up(PyLong_FromLongLong(op == NB_FLOOR_DIVIDE ? q : r));
        }
        case NB_TRUE_DIVIDE: {
            // Both are exact as doubles (below 2**53), where the interpreter divides them as such.
            if (y == 0 || !small) break;
            return made_or_give_up(PyFloat_FromDouble(static_cast<double>(x) / static_cast<double>(y)));
        }
        default:
            break;
        }
    }
    if (op == NB_ADD && PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        return made_or_give_up(PyUnicode_Concat(a, b));
    }
    if (!is_number(a) || !is_number(b)) return nullptr;
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b) && (op == NB_ADD || op == NB_SUBTRACT || op == NB_MULTIPLY)) {
        const double p = PyFloat_AS_DOUBLE(a), q = PyFloat_AS_DOUBLE(b);
        return made_or_give_up(PyFloat_FromDouble(op == NB_ADD ? p + q : op == NB_SUBTRACT ? p - q : p * q));
    }
    PyObject *result = nullptr;
    switch (op) {
    case NB_ADD: result = PyNumber_Add(a, b); break;
    case NB_SUBTRACT: result = PyNumber_Subtract(a, b); break;
    case NB_MULTIPLY: result = PyNumber_Multiply(a, b); break;
    case NB_TRUE_DIVIDE: result = PyNumber_TrueDivide(a, b); break;
    case NB_FLOOR_DIVIDE: result = PyNumber_FloorDivide(a, b); break;
    default: result = PyNumber_Remainder(a, b); break;
    }
    return made_or_give_up(result);  // ZeroDivisionError, OverflowError: the real call's
}

PyObject *negative(PyObject *a) noexcept {
    if (PyFloat_CheckExact(a)) {
        return made_or_give_up(PyFloat_FromDouble(-PyFloat_AS_DOUBLE(a)));
    }
    if (!is_number(a)) return nullptr;
    return made_or_give_up(PyNumber_Negative(a));
}

PyObject *contains(PyObject *needle, PyObject *container, bool inverted) noexcept {
    if (!is_plain(needle)) return nullptr;  // the container holds plain values only (recognition)
    const int found = PySequence_Contains(container, needle);
    if (found < 0) return give_up();
    return new_bool((found != 0) != inverted);
}

// ---- attributes ---------------------------------------------------------------------------

// The type of a named tuple's field accessors, recognised by its name and its module's name,
// never by anything a Python class could imitate (a class's type has no module object).
bool is_tuple_field(PyObject *descr) noexcept {
    PyTypeObject *type = Py_TYPE(descr);
    if (std::strcmp(type->tp_name, "collections._tuplegetter") != 0 || !(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        return false;
    }
    PyObject *module = PyType_GetModule(type);  // borrowed
    if (module == nullptr) {
        PyErr_Clear();
        return false;
    }
    const char *name = PyModule_GetName(module);
    if (name == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::strcmp(name, "_collections") == 0;
}

// The index a named tuple's field accessor reads, from its own __reduce__ (C code), or -1.
Py_ssize_t tuple_field_index(PyObject *descr) noexcept {
    Owned reduced{PyObject_CallMethod(descr, "__reduce__", nullptr)};
    if (!reduced) {
        PyErr_Clear();
        return -1;
    }
    PyObject *r = reduced.get();
    if (!PyTuple_CheckExact(r) || PyTuple_GET_SIZE(r) != 2) return -1;
    PyObject *args = PyTuple_GET_ITEM(r, 1);
    if (!PyTuple_CheckExact(args) || PyTuple_GET_SIZE(args) < 1 || !PyLong_CheckExact(PyTuple_GET_ITEM(args, 0))) {
        return -1;
    }
    const Py_ssize_t index = PyLong_AsSsize_t(PyTuple_GET_ITEM(args, 0));
    if (index < 0) PyErr_Clear();
    return index < 0 ? -1 : index;
}

// Learns how instances of `type` give attribute `name` under the generic lookup, as the
// interpreter's type cache would: the first class along the MRO whose dict has the name decides.
// Every class dict must be keyed by strs only, so that the lookup itself runs no Python code.
AttributeCache classify(PyTypeObject *type, PyObject *name) noexcept {
    using Kind = AttributeCache::Kind;
    AttributeCache cache;
    cache.type = type;
    if (type->tp_getattro != PyObject_GenericGetAttr || !PyUnstable_Type_AssignVersionTag(type)) return cache;
    cache.version = type->tp_version_tag;
    PyObject *mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_CheckExact(mro)) return cache;
    PyObject *found = nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro) && found == nullptr; ++i) {
        PyObject *base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) return cache;
        Owned dict{PyType_GetDict(reinterpret_cast<PyTypeObject *>(base))};
        if (!dict || !PyDict_CheckExact(dict.get()) || !str_keyed(dict.get())) {
            PyErr_Clear();
            return cache;
        }
        found = str_lookup(dict.get(), name);
    }
    cache.inline_index = lumo_inline_attribute_index(type, name);
    if (found == nullptr) {
        cache.kind = Kind::InstanceOnly;
        return cache;
    }
    PyTypeObject *descr_type = Py_TYPE(found);
    if (descr_type == &PyMemberDescr_Type) {
        const PyMemberDef *member = reinterpret_cast<PyMemberDescrObject *>(found)->d_member;
        constexpr auto refused = static_cast<unsigned int>(Py_AUDIT_READ | Py_RELATIVE_OFFSET);
        if (member->type == Py_T_OBJECT_EX && (static_cast<unsigned int>(member->flags) & refused) == 0 &&
            PyType_IsSubtype(type, PyDescr_TYPE(found))) {
            cache.kind = Kind::Slot;
            cache.where = member->offset;
        }
    } else if (is_tuple_field(found) && PyType_IsSubtype(type, &PyTuple_Type)) {
        cache.where = tuple_field_index(found);
        if (cache.where >= 0) cache.kind = Kind::TupleField;
    } else if (descr_type->tp_descr_get == nullptr && descr_type->tp_descr_set == nullptr &&
               !(descr_type->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        // A plain value of a built-in type (a dataclass default, say): the instance's own value
        // comes first, and a built-in type never gains a __get__.
        cache.kind = Kind::ShadowsPlain;
    }
    return cache;
}

// ---- the tree -----------------------------------------------------------------------------

// A value met on the way: borrowed where something that outlives the evaluation holds it (an
// argument, a constant, a global, what a borrowed container holds), owned where evaluation made
// it. No Python code runs meanwhile, so nothing can take a borrowed value away.
class Value {
public:
    Value() noexcept = default;
    static Value borrowed(PyObject *o) noexcept { return Value(o, false); }
    static Value owned(PyObject *o) noexcept { return Value(o, o != nullptr); }
    Value(Value &&v) noexcept : p_(std::exchange(v.p_, nullptr)), owned_(std::exchange(v.owned_, false)) {}
    Value &operator=(Value &&) = delete;
    Value(const Value &) = delete;
    ~Value() {
        if (owned_) Py_DECREF(p_);
    }

    PyObject *get() const noexcept { return p_; }
    bool is_owned() const noexcept { return owned_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // A new reference to the value.
    PyObject *new_reference() noexcept {
        PyObject *o = std::exchange(p_, nullptr);
        return std::exchange(owned_, false) ? o : Py_NewRef(o);
    }

private:
    Value(PyObject *o, bool owned) noexcept : p_(o), owned_(owned) {}
    PyObject *p_ = nullptr;
    bool owned_ = false;
};

// What a container gave: borrowed while the container is, else a reference of its own, so that
// releasing a container evaluation made (a tuple) never leaves it dangling.
Value part_of(const Value &container, PyObject *part) noexcept {
    if (part == nullptr) return {};
    return container.is_owned() ? Value::owned(Py_NewRef(part)) : Value::borrowed(part);
}

// `o`.`name` under the generic lookup, for a type `cache` has classified (or classifies now).
Value attribute(const Value &o, PyObject *name, AttributeCache &cache) noexcept {
    using Kind = AttributeCache::Kind;
    PyTypeObject *type = Py_TYPE(o.get());
    if (cache.type != type || cache.version != type->tp_version_tag || cache.version == 0) {
        cache = classify(type, name);
    }
    switch (cache.kind) {
    case Kind::Slot:
        return part_of(o, *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o.get()) + cache.where));
    case Kind::TupleField:
        return cache.where < PyTuple_GET_SIZE(o.get()) ? part_of(o, PyTuple_GET_ITEM(o.get(), cache.where)) : Value();
    case Kind::InstanceOnly:
    case Kind::ShadowsPlain: {
        // Values kept inline, at the entry the type's shared keys give the name: read as the
        // interpreter's own specialised load reads them. An empty entry means no such instance
        // attribute: an InstanceOnly lookup then raises, which the real call does.
        PyObject *inline_value = nullptr;
        if (cache.inline_index >= 0 && lumo_inline_attribute(o.get(), cache.inline_index, &inline_value) > 0 &&
            (inline_value != nullptr || cache.kind == Kind::InstanceOnly)) {
            return part_of(o, inline_value);
        }
        if (!lumo_instance_names_are_strs(o.get())) return {};
        PyObject *value = PyObject_GenericGetAttr(o.get(), name);  // proven C code only, above
        return Value::owned(made_or_give_up(value));
    }
    default:
        return {};
    }
}

class Evaluator {
public:
    Evaluator(const Program &program, const Frame &frame) noexcept : program_(program), frame_(frame) {}

    // The value of node `n`. Leaves are read here, without a call: most nodes have one or two.
    [[gnu::always_inline]] Value value(std::uint16_t n) noexcept {  // NOLINT(misc-no-recursion)
        const Node &node = program_.nodes[n];
        if (node.shape == Shape::Argument) return Value::borrowed(argument(node.index));
        if (node.shape == Shape::Constant) return Value::borrowed(node.object);
        return inner(node);
    }

private:
    // The value of a node that is not a leaf. The tree's depth is bounded by its size, which
    // recognition bounds.
    Value inner(const Node &node) noexcept {  // NOLINT(misc-no-recursion)
        // Each shape has a function of its own, so that each saves only the registers it uses.
        switch (node.shape) {
        case Shape::Argument:
        case Shape::Constant:
            break;
        case Shape::FreeVariable:
            return free_variable(node);
        case Shape::Global:
            return global(node);
        case Shape::Subscript:
            return subscript_node(node);
        case Shape::Attribute:
            return attribute_node(node);
        case Shape::Compare:
        case Shape::Identity:
        case Shape::Binary:
            return binary_node(node);
        case Shape::Contains:
        case Shape::Not:
        case Shape::Truth:
        case Shape::Negative:
            return unary_node(node);
        case Shape::Tuple:
            return Value::owned(tuple(node.a, node.b));
        case Shape::Choice:
            return choice(node);
        }
        return {};
    }

    [[gnu::noinline]] Value free_variable(const Node &node) const noexcept {
        PyObject *closure = frame_.function->func_closure;
        if (closure == nullptr || node.index >= static_cast<std::uint32_t>(PyTuple_GET_SIZE(closure))) return {};
        PyObject *cell = PyTuple_GET_ITEM(closure, node.index);
        return Value::borrowed(PyCell_Check(cell) ? PyCell_GET(cell) : nullptr);  // unbound: the real call's NameError
    }

    [[gnu::noinline]] Value global(const Node &node) const noexcept {
        PyObject *value = str_lookup(frame_.function->func_globals, node.object);
        if (value == nullptr) value = str_lookup(frame_.function->func_builtins, node.object);
        return Value::borrowed(value);
    }

    [[gnu::noinline]] Value subscript_node(const Node &node) noexcept {  // NOLINT(misc-no-recursion)
        Value container = value(node.a);
        if (!container) return {};
        Value key = value(node.b);
        return key ? part_of(container, subscript(container.get(), key.get(), program_.subscript_hints[node.index]))
                   : Value();
    }

    [[gnu::noinline]] Value attribute_node(const Node &node) noexcept {  // NOLINT(misc-no-recursion)
        Value o = value(node.a);
        if (!o) return {};
        return attribute(o, node.object, program_.attribute_caches[node.index]);
    }

    [[gnu::noinline]] Value binary_node(const Node &node) noexcept {  // NOLINT(misc-no-recursion)
        Value a = value(node.a);
        if (!a) return {};
        Value b = value(node.b);
        if (!b) return {};
        switch (node.shape) {
        case Shape::Compare:
            return Value::owned(compare(a.get(), b.get(), node.detail));
        case Shape::Identity:
            return Value::borrowed((a.get() == b.get()) != (node.detail != 0) ? Py_True : Py_False);
        default:
            return Value::owned(arithmetic(a.get(), b.get(), node.detail));
        }
    }

    [[gnu::noinline]] Value unary_node(const Node &node) noexcept {  // NOLINT(misc-no-recursion)
        Value a = value(node.a);
        if (!a) return {};
        switch (node.shape) {
        case Shape::Contains:
            return Value::owned(contains(a.get(), program_.nodes[node.b].object, node.detail != 0));
        case Shape::Negative:
            return Value::owned(negative(a.get()));
        default: {
            const int truth = plain_truth(a.get());
            if (truth < 0) return {};
            return Value::borrowed((truth != 0) != (node.shape == Shape::Not) ? Py_True : Py_False);
        }
        }
    }

    [[gnu::noinline]] Value choice(const Node &node) noexcept {  // NOLINT(misc-no-recursion)
        int truth = -1;
        {
            Value tested = value(node.a);
            if (tested) truth = plain_truth(tested.get());
        }
        if (truth < 0) return {};
        return value(truth ? node.b : node.c);
    }

    // Borrowed, or nullptr.
    PyObject *argument(std::uint32_t index) const noexcept {
        if (index < static_cast<std::uint32_t>(frame_.arg_count)) return frame_.args[index];
        return default_argument(index);
    }

    // A parameter the call leaves out takes its default, read now: __defaults__ may change.
    [[gnu::noinline]] PyObject *default_argument(std::uint32_t index) const noexcept {
        PyObject *defaults = frame_.function != nullptr ? frame_.function->func_defaults : nullptr;
        if (defaults == nullptr) return nullptr;
        const Py_ssize_t first = program_.parameters - PyTuple_GET_SIZE(defaults);
        const auto at = static_cast<Py_ssize_t>(index) - first;
        if (at < 0 || at >= PyTuple_GET_SIZE(defaults)) return nullptr;
        return PyTuple_GET_ITEM(defaults, at);
    }

    PyObject *tuple(std::uint16_t first, std::uint16_t count) noexcept {  // NOLINT(misc-no-recursion)
        Owned made{PyTuple_New(count)};
        if (!made) return give_up();
        for (std::uint16_t i = 0; i < count; ++i) {
            Value item = value(program_.operands[first + i]);
            if (!item) return nullptr;
            PyTuple_SET_ITEM(made.get(), i, item.new_reference());
        }
        return made.release();
    }

    const Program &program_;
    const Frame &frame_;
};

// ---- the forms ----------------------------------------------------------------------------

// What a read of attribute node `node` finds in `o` where the cache already knows `o`'s type and
// the value lies in the object itself: borrowed, or nullptr to let the tree decide.
PyObject *known_attribute(PyObject *o, const AttributeCache &cache) noexcept {
    using Kind = AttributeCache::Kind;
    const PyTypeObject *type = Py_TYPE(o);
    if (cache.type != type || cache.version != type->tp_version_tag || cache.version == 0) return nullptr;
    switch (cache.kind) {
    case Kind::Slot:
        return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o) + cache.where);
    case Kind::TupleField:
        return cache.where < PyTuple_GET_SIZE(o) ? PyTuple_GET_ITEM(o, cache.where) : nullptr;
    case Kind::InstanceOnly:
    case Kind::ShadowsPlain: {
        PyObject *value = nullptr;
        if (cache.inline_index < 0 || lumo_inline_attribute(o, cache.inline_index, &value) <= 0) return nullptr;
        return value;
    }
    default:
        return nullptr;
    }
}

// The value a Read form's steps reach from `o`, borrowed (everything on the way is held by what
// came before it), or nullptr where a step needs more than this loop does: `settled` then tells
// whether the tree would give up too (an item it cannot read, which the tree reads alike), or
// could still answer (an attribute of a type the cache does not know yet).
PyObject *read(const Form &form, PyObject *o, bool &settled) noexcept {
    for (std::uint8_t i = 0; i < form.length; ++i) {
        const Step &step = form.steps[i];
        o = step.cache != nullptr ? known_attribute(o, *step.cache) : subscript(o, step.key, *step.hint);
        if (o == nullptr) {
            settled = step.cache == nullptr;
            return nullptr;
        }
    }
    return o;
}

// Whether node `n` reads from a parameter through constant keys and attribute names only; if so,
// the read's steps, in the order they are taken, go into `form`.
bool read_chain(const Program &program, std::uint16_t n, Form &form) noexcept {
    Step backwards[Form::max_steps];
    std::uint8_t length = 0;
    for (;;) {
        const Node &node = program.nodes[n];
        if (node.shape == Shape::Argument) {
            if (node.index > 255) return false;
            form.parameter = static_cast<std::uint8_t>(node.index);
            break;
        }
        if (length == Form::max_steps) return false;
        if (node.shape == Shape::Subscript) {
            PyObject *key = program.nodes[node.b].object;
            if (program.nodes[node.b].shape != Shape::Constant || !(PyUnicode_CheckExact(key) || PyLong_CheckExact(key))) {
                return false;
            }
            backwards[length++] = {key, nullptr, &program.subscript_hints[node.index]};
        } else if (node.shape == Shape::Attribute) {
            backwards[length++] = {node.object, &program.attribute_caches[node.index], nullptr};
        } else {
            return false;
        }
        n = node.a;
    }
    form.length = length;
    for (std::uint8_t i = 0; i < length; ++i) form.steps[i] = backwards[length - 1 - i];
    return true;
}

// The comparison `a op b` with the operands swapped: `b swapped(op) a`.
std::uint8_t swapped(std::uint8_t op) noexcept {
    switch (op) {
    case Py_LT: return Py_GT;
    case Py_LE: return Py_GE;
    case Py_GT: return Py_LT;
    case Py_GE: return Py_LE;
    default: return op;
    }
}

}  // namespace

void find_form(Program &program) noexcept {
    Form form;
    const Node &root = program.nodes[program.root];
    const bool binary = root.shape == Shape::Compare || root.shape == Shape::Identity;
    if (read_chain(program, program.root, form)) {
        form.kind = Form::Kind::Read;
    } else if (binary) {
        const Node &left = program.nodes[root.a], &right = program.nodes[root.b];
        std::uint8_t op = root.detail;
        bool found = false;
        if (right.shape == Shape::Constant && read_chain(program, root.a, form)) {
            form.constant = right.object;
            found = true;
        } else if (left.shape == Shape::Constant && read_chain(program, root.b, form)) {
            form.constant = left.object;
            op = root.shape == Shape::Compare ? swapped(op) : op;
            found = true;
        }
        // A comparison is quick only with a value whose comparisons are C code whatever they meet.
        if (found && (root.shape == Shape::Identity || is_plain(form.constant))) {
            form.kind = root.shape == Shape::Compare ? Form::Kind::Compared : Form::Kind::Identical;
            form.op = op;
        }
    }
    if (form.kind != Form::Kind::Tree) program.form = form;
}

void prefetch_read_value(const Program &program, PyObject *item) noexcept {
    const Form &form = program.form;
    if (form.kind == Form::Kind::Tree || form.parameter != 0 || form.length == 0) return;
    bool settled = false;
    if (PyObject *value = read(form, item, settled)) prefetch(value);
}

PyObject *evaluate(const Program &program, const Frame &frame) noexcept {
    const Form &form = program.form;
    if (form.kind != Form::Kind::Tree && form.parameter < frame.arg_count) {
        bool settled = false;
        PyObject *value = read(form, frame.args[form.parameter], settled);
        if (value == nullptr && settled) return nullptr;
        if (value != nullptr) {
            switch (form.kind) {
            case Form::Kind::Read:
                return Py_NewRef(value);
            case Form::Kind::Compared:
                return compare(value, form.constant, form.op);  // nullptr: the real call raises
            default:
                return new_bool((value == form.constant) != (form.op != 0));
            }
        }
    }
    Value result = Evaluator(program, frame).value(program.root);
    return result ? result.new_reference() : nullptr;
}

}  // namespace lumo
