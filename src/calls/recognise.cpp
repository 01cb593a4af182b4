// Recognition: reads a function's bytecode, as the running interpreter compiled it, into a
// Program, by running it on a stack of nodes instead of values. A conditional jump runs both ways
// and joins them in a Choice node; any instruction outside the table ends recognition, and the
// function is then always called. Runs once per code object and runs no Python code: the result
// (or the verdict that there is none) is kept with the code object and released with it.
#include "calls/interpreter.h"
#include "calls/program.hpp"

#include <opcode.h>

#include <array>
#include <new>

namespace lumo {
namespace {

Py_ssize_t program_slot = -1;  // the interpreter's per-code slot for programs, once reserved

// A code object recognised as no shape keeps this, so that it is not read again.
const Program not_a_shape{};

void free_program(void *kept) noexcept {
    auto *program = static_cast<Program *>(kept);
    if (program == nullptr || program == &not_a_shape) return;
    program->~Program();
    PyMem_Free(program);
}

#if PY_VERSION_HEX >= 0x030D0000
constexpr unsigned int compare_shift = 5;  // the low bits of COMPARE_OP's argument are the interpreter's own
#else
constexpr unsigned int compare_shift = 4;
#endif

// Bounds that keep recognition cheap and evaluation shallow: a lambda of the shapes has a few
// dozen instructions at most, and the paths through its conditionals few.
constexpr std::size_t max_nodes = 64;
constexpr int max_steps = 400;
constexpr std::size_t max_stack = 16;

struct Stack {
    std::array<std::uint16_t, max_stack> slots{};
    std::size_t size = 0;
};

class Recogniser {
public:
    Recogniser(PyCodeObject *code, const std::uint8_t *units, std::size_t count, Program &out)
        : code_(code), units_(units), count_(count), out_(out) {}

    // The root node of the value the code returns when run from unit `pc` with `stack`, or -1.
    // may throw std::bad_alloc
    int walk(std::size_t pc, Stack stack) {
        for (;;) {
            if (--steps_left_ < 0 || pc >= count_) return -1;
            int op = units_[2 * pc];
            unsigned int arg = units_[2 * pc + 1];
            while (op == EXTENDED_ARG) {
                pc += 1 + lumo_opcode_caches(EXTENDED_ARG);
                if (pc >= count_) return -1;
                op = units_[2 * pc];
                arg = (arg << 8U) | static_cast<unsigned int>(units_[2 * pc + 1]);
            }
            const std::size_t next = pc + 1 + lumo_opcode_caches(op);
            int made = -2;  // the node the instruction pushes, when it pushes one
            switch (op) {
            case NOP:
            case RESUME:
            case COPY_FREE_VARS:
#ifdef NOT_TAKEN
            case NOT_TAKEN:
#endif
                break;
            case LOAD_FAST:
            case LOAD_FAST_CHECK:
#ifdef LOAD_FAST_BORROW
            case LOAD_FAST_BORROW:
#endif
                made = argument(arg);
                break;
#ifdef LOAD_FAST_LOAD_FAST
            case LOAD_FAST_LOAD_FAST:
#ifdef LOAD_FAST_BORROW_LOAD_FAST_BORROW
            case LOAD_FAST_BORROW_LOAD_FAST_BORROW:
#endif
                if (!push(stack, argument(arg >> 4))) return -1;
                made = argument(arg & 15);
                break;
#endif
            case LOAD_CONST:
                if (arg >= static_cast<unsigned int>(PyTuple_GET_SIZE(code_->co_consts))) return -1;
                made = constant(PyTuple_GET_ITEM(code_->co_consts, arg));
                break;
#ifdef LOAD_SMALL_INT
            case LOAD_SMALL_INT: {
                // The interpreter's own small int: immortal, so the program may keep it borrowed.
                PyObject *value = PyLong_FromLong(static_cast<long>(arg));
                if (value == nullptr) {
                    PyErr_Clear();
                    return -1;
                }
                Py_DECREF(value);
                made = constant(value);
                break;
            }
#endif
#ifdef LOAD_COMMON_CONSTANT
            case LOAD_COMMON_CONSTANT: {
                PyObject *value = lumo_common_constant(static_cast<int>(arg));
                made = value == nullptr ? -1 : constant(value);
                break;
            }
#endif
#ifdef RETURN_CONST
            case RETURN_CONST:
                if (arg >= static_cast<unsigned int>(PyTuple_GET_SIZE(code_->co_consts))) return -1;
                return constant(PyTuple_GET_ITEM(code_->co_consts, arg));
#endif
            case RETURN_VALUE:
                return stack.size == 1 ? stack.slots[0] : -1;
            case LOAD_DEREF: {
                // Free variables come last among the fast locals, in the closure's order.
                const int first_free = code_->co_nlocalsplus - code_->co_nfreevars;
                if (static_cast<int>(arg) < first_free || static_cast<int>(arg) >= code_->co_nlocalsplus) return -1;
                made = add({Shape::FreeVariable, 0, 0, 0, 0, arg - static_cast<unsigned int>(first_free)});
                break;
            }
            case LOAD_GLOBAL:
                if (arg & 1U) return -1;  // also pushes NULL, for a call
                made = named(Shape::Global, arg >> 1U);
                break;
            case LOAD_ATTR:
                if (arg & 1U) return -1;  // a method load, for a call
                made = attribute(stack, arg >> 1U);
                if (made == -1) return -1;
                stack.size--;
                break;
#ifdef BINARY_SUBSCR
            case BINARY_SUBSCR:
                made = subscript(stack);
                break;
#endif
            case BINARY_OP:
                switch (arg) {
#ifdef NB_SUBSCR
                case NB_SUBSCR:
                    made = subscript(stack);
                    break;
#endif
                case NB_ADD:
                case NB_SUBTRACT:
                case NB_MULTIPLY:
                case NB_TRUE_DIVIDE:
                case NB_FLOOR_DIVIDE:
                case NB_REMAINDER:
                    made = binary(stack, Shape::Binary, arg);
                    break;
                default:
                    return -1;
                }
                break;
            case COMPARE_OP: {
                const unsigned int compare = arg >> compare_shift;
                if (compare > Py_GE) return -1;
                made = binary(stack, Shape::Compare, compare);
                break;
            }
            case IS_OP:
                made = binary(stack, Shape::Identity, arg != 0);
                break;
            case CONTAINS_OP:
                if (stack.size < 2 || !plain_container(stack.slots[stack.size - 1])) return -1;
                made = binary(stack, Shape::Contains, arg != 0);
                break;
            case UNARY_NOT:
                made = unary(stack, Shape::Not);
                break;
#ifdef TO_BOOL
            case TO_BOOL:
                made = unary(stack, Shape::Truth);
                break;
#endif
            case UNARY_NEGATIVE:
                made = unary(stack, Shape::Negative);
                break;
            case BUILD_TUPLE:
                made = tuple(stack, arg);
                break;
            case COPY:
                if (arg < 1 || arg > stack.size) return -1;
                made = stack.slots[stack.size - arg];
                break;
            case SWAP:
                if (arg < 2 || arg > stack.size) return -1;
                std::swap(stack.slots[stack.size - 1], stack.slots[stack.size - arg]);
                break;
            case POP_TOP:
                if (stack.size == 0) return -1;
                stack.size--;
                break;
            case JUMP_FORWARD:
                pc = next + arg;
                continue;
            case POP_JUMP_IF_FALSE:
            case POP_JUMP_IF_TRUE:
            case POP_JUMP_IF_NONE:
            case POP_JUMP_IF_NOT_NONE:
                return branch(op, stack, next, next + arg);
            default:
                return -1;
            }
            if (made == -1) return -1;
            if (made >= 0 && !push(stack, made)) return -1;
            pc = next;
        }
    }

private:
    // Each helper returns the new node's index, or -1 when the instruction is not a shape (or the
    // program grew past its bounds). They may throw std::bad_alloc.
    int add(const Node &node) {
        if (out_.nodes.size() >= max_nodes) return -1;
        out_.nodes.push_back(node);
        return static_cast<int>(out_.nodes.size() - 1);
    }

    static bool push(Stack &stack, int node) noexcept {
        if (node < 0 || stack.size == max_stack) return false;
        stack.slots[stack.size++] = static_cast<std::uint16_t>(node);
        return true;
    }

    int argument(unsigned int index) {
        if (index >= static_cast<unsigned int>(code_->co_argcount)) return -1;  // a local: not a shape
        return add({Shape::Argument, 0, 0, 0, 0, index});
    }

    int constant(PyObject *value) { return add({Shape::Constant, 0, 0, 0, 0, 0, value}); }

    int named(Shape shape, unsigned int index) {
        if (index >= static_cast<unsigned int>(PyTuple_GET_SIZE(code_->co_names))) return -1;
        return add({shape, 0, 0, 0, 0, 0, PyTuple_GET_ITEM(code_->co_names, index)});
    }

    int attribute(const Stack &stack, unsigned int name) {
        if (stack.size < 1) return -1;
        int made = named(Shape::Attribute, name);
        if (made < 0) return -1;
        Node &node = out_.nodes[static_cast<std::size_t>(made)];
        node.a = stack.slots[stack.size - 1];
        node.index = static_cast<std::uint32_t>(out_.attribute_caches.size());
        out_.attribute_caches.emplace_back();
        return made;
    }

    int subscript(Stack &stack) {
        const int made = binary(stack, Shape::Subscript, 0);
        if (made < 0) return -1;
        out_.nodes[static_cast<std::size_t>(made)].index = static_cast<std::uint32_t>(out_.subscript_hints.size());
        out_.subscript_hints.push_back({0, nullptr, nullptr, 0});
        return made;
    }

    int unary(Stack &stack, Shape shape) {
        if (stack.size < 1) return -1;
        return add({shape, 0, stack.slots[--stack.size]});
    }

    int binary(Stack &stack, Shape shape, unsigned int detail) {
        if (stack.size < 2) return -1;
        const std::uint16_t right = stack.slots[--stack.size];
        const std::uint16_t left = stack.slots[--stack.size];
        return add({shape, static_cast<std::uint8_t>(detail), left, right});
    }

    int tuple(Stack &stack, unsigned int count) {
        if (count > stack.size) return -1;
        const auto first = static_cast<std::uint16_t>(out_.operands.size());
        for (std::size_t i = stack.size - count; i < stack.size; ++i) out_.operands.push_back(stack.slots[i]);
        stack.size -= count;
        return add({Shape::Tuple, 0, first, static_cast<std::uint16_t>(count)});
    }

    // Whether node `n` is a constant tuple or frozenset of values whose == and hash run no Python
    // code whatever they meet, so that `in` over it can be evaluated.
    bool plain_container(std::uint16_t n) const noexcept {
        const Node &node = out_.nodes[n];
        if (node.shape != Shape::Constant) return false;
        PyObject *container = node.object;
        if (PyTuple_CheckExact(container)) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(container); ++i) {
                if (!is_plain(PyTuple_GET_ITEM(container, i))) return false;
            }
            return true;
        }
        if (!PyFrozenSet_CheckExact(container)) return false;
        // A frozenset's own iterator is C code that runs nothing else.
        Owned members{PyObject_GetIter(container)};
        if (!members) {
            PyErr_Clear();
            return false;
        }
        while (PyObject *member = PyIter_Next(members.get())) {
            const bool plain = is_plain(member);
            Py_DECREF(member);
            if (!plain) return false;
        }
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return true;
    }

    // A conditional jump: both ways, joined by a Choice on the popped value.
    int branch(int op, Stack stack, std::size_t fall, std::size_t jump) {
        if (stack.size < 1) return -1;
        std::uint16_t tested = stack.slots[--stack.size];
        const int fell = walk(fall, stack);
        if (fell < 0) return -1;
        const int jumped = walk(jump, stack);
        if (jumped < 0) return -1;
        int when_true = fell, when_false = jumped;
        if (op == POP_JUMP_IF_TRUE || op == POP_JUMP_IF_NONE) std::swap(when_true, when_false);
        if (op == POP_JUMP_IF_NONE || op == POP_JUMP_IF_NOT_NONE) {
            const int none = constant(Py_None);
            if (none < 0) return -1;
            const int is_none = add({Shape::Identity, 0, tested, static_cast<std::uint16_t>(none)});
            if (is_none < 0) return -1;
            tested = static_cast<std::uint16_t>(is_none);
        } else if (out_.nodes[tested].shape == Shape::Truth) {
            tested = out_.nodes[tested].a;  // a Choice tests truth itself
        }
        return add({Shape::Choice, 0, tested, static_cast<std::uint16_t>(when_true),
                    static_cast<std::uint16_t>(when_false)});
    }

    PyCodeObject *code_;
    const std::uint8_t *units_;
    std::size_t count_;
    Program &out_;
    int steps_left_ = max_steps;
};

// Whether `code`'s signature and kind allow its body to stand for a call with positional
// arguments: a plain function (no generator or coroutine), no *args, **kwargs or keyword-only
// parameters, no cells of its own and no exception handlers.
bool plain_function(PyCodeObject *code) noexcept {
    constexpr auto refused = static_cast<unsigned int>(CO_VARARGS | CO_VARKEYWORDS | CO_GENERATOR | CO_COROUTINE |
                                                       CO_ASYNC_GENERATOR | CO_ITERABLE_COROUTINE);
    return (static_cast<unsigned int>(code->co_flags) & refused) == 0 && code->co_kwonlyargcount == 0 &&
           code->co_ncellvars == 0 &&
           PyBytes_GET_SIZE(code->co_exceptiontable) == 0 && code->co_argcount <= 255;
}

// The program of `code`, or nullptr (also when memory runs out: the function is then called).
const Program *recognise(PyCodeObject *code) noexcept {
    if (!plain_function(code)) return nullptr;
    // The instructions as `co_code` shows them: specialised, instrumented and executor
    // instructions given back as the ones they stand for, inline caches zeroed.
    Owned bytes{PyCode_GetCode(code)};
    if (!bytes) {
        PyErr_Clear();  // out of memory: the function is simply called
        return nullptr;
    }
    void *memory = PyMem_Malloc(sizeof(Program));
    if (memory == nullptr) return nullptr;
    auto *program = new (memory) Program();
    program->parameters = code->co_argcount;
    int root = -1;
    try {
        Recogniser recogniser(code, reinterpret_cast<const std::uint8_t *>(PyBytes_AS_STRING(bytes.get())),
                              static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())) / 2, *program);
        root = recogniser.walk(0, Stack{});
    } catch (const std::bad_alloc &) {
        root = -1;
    }
    if (root < 0) {
        free_program(program);
        return nullptr;
    }
    program->root = static_cast<std::uint16_t>(root);
    find_form(*program);
    return program;
}

}  // namespace

void reserve_program_slot() noexcept {
    program_slot = PyUnstable_Eval_RequestCodeExtraIndex(free_program);
    if (program_slot < 0) PyErr_Clear();
}

bool programs_available() noexcept { return program_slot >= 0; }

const Program *program_of(PyCodeObject *code, int arg_count) noexcept {
    void *kept = nullptr;
    if (program_slot < 0 || PyUnstable_Code_GetExtra(reinterpret_cast<PyObject *>(code), program_slot, &kept) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    if (kept == nullptr) {
        const Program *made = recognise(code);
        kept = const_cast<Program *>(made != nullptr ? made : &not_a_shape);
        if (PyUnstable_Code_SetExtra(reinterpret_cast<PyObject *>(code), program_slot, kept) < 0) {
            PyErr_Clear();
            free_program(kept);
            return nullptr;
        }
    }
    const auto *program = static_cast<const Program *>(kept);
    if (program == &not_a_shape || arg_count > program->parameters) return nullptr;
    return program;
}

}  // namespace lumo
