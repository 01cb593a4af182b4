// The shapes of user functions that lumo evaluates without the interpreter: a small expression
// tree, recognised once per code object from its bytecode (calls/recognise.cpp) and evaluated per
// item (calls/evaluate.cpp). Evaluation runs no Python code and has no side effect, so where it
// meets anything it cannot answer exactly it gives up, and the caller makes the real call.
#pragma once

#include "calls/interpreter.h"
#include "core/owned.hpp"
#include "core/prefetch.hpp"

#include <cstdint>

namespace lumo {

enum class Shape : std::uint8_t {
    Argument,       // `index`: a positional parameter (beyond the arguments given, its default)
    Constant,       // `object`, borrowed from the code object (or immortal)
    FreeVariable,   // `index`: a cell of the function's closure, read afresh per item
    Global,         // `object`: a name looked up in the function's globals, then its builtins
    Subscript,      // `a`[`b`], with the entry of `subscript_hints`[`index`]
    Attribute,      // `a`.`object` (a str), with `cache`
    Compare,        // `a` <op> `b`, `detail` one of Py_LT .. Py_GE
    Identity,       // `a` is `b`; `detail` 1 for `is not`
    Contains,       // `a` in `b` (a constant tuple or frozenset of plain values); `detail` 1 for not in
    Not,            // not `a`
    Truth,          // bool(`a`), as TO_BOOL makes it
    Negative,       // -`a`
    Binary,         // `a` <op> `b`, `detail` the interpreter's NB_ code (+ - * / // %)
    Tuple,          // a tuple of the nodes listed at `operands`[`a`, `a` + `b`)
    Choice,         // `b` when `a` is true, else `c` (and, or, chained comparisons, conditionals)
};

// What an attribute node learned of the last type it met, valid while the type's version tag is
// the one recorded. A type that changes gets a new tag (never one it or another type had before),
// so a stale entry can only fail to match; the type pointer is compared, never followed.
struct AttributeCache {
    enum class Kind : std::uint8_t {
        Refused,       // Python code could run, or the lookup is not one this reads exactly
        InstanceOnly,  // no class attribute of that name: the instance's dict or inline values
        ShadowsPlain,  // as InstanceOnly, else a class attribute that is a plain value
        Slot,          // a __slots__ member at `where` bytes into the object
        TupleField,    // a named tuple's field at index `where`
    };
    const PyTypeObject *type = nullptr;
    unsigned int version = 0;
    Kind kind = Kind::Refused;
    Py_ssize_t where = 0;
    Py_ssize_t inline_index = -1;  // for the instance kinds: the entry among inline values, if any
};

struct Node {
    Shape shape = Shape::Constant;
    std::uint8_t detail = 0;
    std::uint16_t a = 0, b = 0, c = 0;
    std::uint32_t index = 0;
    PyObject *object = nullptr;  // borrowed
};

// The forms most bodies take, evaluated by a loop of their own instead of a walk of the tree:
// a read of fields, items and attributes from a parameter (`r["k"]`, `t[1]`, `o.v`, `r["a"]["b"]`),
// alone or compared with a constant (`r["k"] > 5`, `r["k"] is not None`). They stand for the same
// nodes, whose caches they use; where a step meets anything else, the tree decides.
struct Step {
    PyObject *key = nullptr;                // the item's key, or the attribute's name
    AttributeCache *cache = nullptr;        // an attribute's: the node's cache
    LumoFieldHint *hint = nullptr;          // an item's: the node's hint
};

struct Form {
    enum class Kind : std::uint8_t { Tree, Read, Compared, Identical };
    static constexpr std::size_t max_steps = 4;
    Kind kind = Kind::Tree;
    std::uint8_t parameter = 0;  // what the read starts from
    std::uint8_t length = 0;
    std::uint8_t op = 0;         // Compared: Py_LT .. Py_GE, read on the left; Identical: 1 for `is not`
    Step steps[max_steps] = {};
    PyObject *constant = nullptr;  // what the read is compared with, borrowed like the nodes' objects
};

// A recognised function body: `nodes`, operands before the nodes that use them. Lives as long as the code object it was
// read from (it borrows that code object's constants and names), or, for an itemgetter or
// attrgetter, as long as the call that prepared it.
struct Program {
    PyMemVec<Node> nodes;
    PyMemVec<std::uint16_t> operands;  // the items of Tuple nodes
    mutable PyMemVec<AttributeCache> attribute_caches;  // one per Attribute node, by `index`
    mutable PyMemVec<LumoFieldHint> subscript_hints;    // one per Subscript node, by `index`
    int parameters = 0;       // the code's positional parameters
    std::uint16_t root = 0;   // the node whose value the function returns
    Form form;                // how `root` is evaluated fastest

    Program() noexcept = default;
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;
    // Releases the field names the hints hold: strs, whose end runs no Python code.
    ~Program() {
        for (LumoFieldHint &hint : subscript_hints) {
            Py_CLEAR(hint.key);
            Py_CLEAR(hint.wanted);
        }
    }
};

// Finds the form of `program`'s root, once its nodes are complete.
void find_form(Program &program) noexcept;

// For a loop that evaluates `program` for one item after another, with the item as the first
// argument: asks for what the evaluation for `item` will read, a stage at a time as the item comes
// nearer. Reads only what an earlier stage asked for; runs no Python code.

// Stage 0: the item's header, and where an instance keeps its dict or values pointer (just
// before it, maybe on the line before).
inline void prefetch_item(const Program &program, PyObject *item) noexcept {
    prefetch(item);
    const Form &form = program.form;
    if (form.kind != Form::Kind::Tree && form.length != 0 && form.steps[0].cache != nullptr) {
        prefetch(reinterpret_cast<const char *>(item) - 3 * sizeof(PyObject *));
    }
}

// Stage 1: the table or values the first field lies in: a dict's key table and the line of its
// entries where the last dict had the field, a list's items, an instance's slot or inline value.
inline void prefetch_first_field(const Program &program, PyObject *item) noexcept {
    const Form &form = program.form;
    if (form.kind == Form::Kind::Tree || form.parameter != 0 || form.length == 0) {
        prefetch_fields(item);
        return;
    }
    const Step &step = form.steps[0];
    if (step.cache == nullptr) {
        if (PyDict_CheckExact(item)) {
            const char *keys = reinterpret_cast<const char *>(reinterpret_cast<PyDictObject *>(item)->ma_keys);
            prefetch(keys);
            prefetch(keys + step.hint->offset);
        } else if (PyList_CheckExact(item)) {
            prefetch(static_cast<const void *>(reinterpret_cast<PyListObject *>(item)->ob_item));
        }
        return;
    }
    const AttributeCache &cache = *step.cache;
    if (cache.type != Py_TYPE(item)) return;
    if (cache.kind == AttributeCache::Kind::Slot) {
        prefetch(reinterpret_cast<const char *>(item) + cache.where);
    } else if (cache.inline_index >= 0) {
        if (const void *address = lumo_inline_attribute_address(item, cache.inline_index)) prefetch(address);
    }
}

// Stage 2: the value the read reaches, found by making the read without taking anything.
void prefetch_read_value(const Program &program, PyObject *item) noexcept;

// Values whose comparisons, hash, truth test and arithmetic with each other are C code only.
inline bool is_number(PyObject *o) noexcept { return PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyBool_Check(o); }
inline bool is_plain(PyObject *o) noexcept { return is_number(o) || PyUnicode_CheckExact(o) || o == Py_None; }

// What a program is evaluated against: the arguments of the call it stands for and the function
// whose closure, defaults and globals it reads (nullptr for a getter's program).
struct Frame {
    PyObject *const *args;
    int arg_count;
    PyFunctionObject *function;
};

// The value of `program` for `frame`: a new reference, or nullptr, with no exception set, when it
// cannot be answered exactly without the interpreter. Runs no Python code.
PyObject *evaluate(const Program &program, const Frame &frame) noexcept;

// The program of `code`'s body, recognised on first sight and kept with the code object; nullptr
// when the body is not one of the shapes, when its parameters do not take `arg_count` positional
// arguments, or when memory ran out (nothing set). Runs no Python code.
const Program *program_of(PyCodeObject *code, int arg_count) noexcept;

// Whether programs can be kept with code objects: false when the interpreter had no slot left for
// them at start-up, and then nothing is recognised.
bool programs_available() noexcept;

// Reserves the interpreter's per-code slot for programs. At module initialisation; runs no Python
// code and leaves nothing set when the interpreter has no slot left.
void reserve_program_slot() noexcept;

}  // namespace lumo
