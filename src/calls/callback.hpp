// The one way an operator calls a user callable per item. Prepared once per operator call from
// the callable, then called per item: where the callable is a plain function (or an itemgetter or
// attrgetter) whose body is one of the shapes of calls/program.hpp, and nothing watches calls, the
// body is evaluated without the interpreter; for any item where that cannot be done exactly, and
// for every other callable, the real call is made. Either way the answer is the interpreter's.
#pragma once

#include "calls/program.hpp"
#include "core/prefetch.hpp"

#include <cstdint>

namespace lumo {

class Callback {
public:
    // Borrows `callable`, which the operator's arguments hold for the whole call; it will be
    // called with `arg_count` (1 or 2) positional arguments. Runs no Python code and sets nothing:
    // whatever cannot be prepared is simply called.
    Callback(PyObject *callable, int arg_count) noexcept;
    ~Callback();
    Callback(const Callback &) = delete;
    Callback &operator=(const Callback &) = delete;

    // callable(item), or callable(first, second): a new reference, or nullptr with the callable's
    // exception set. may run Python
    PyObject *operator()(PyObject *item) noexcept {
        PyObject *buf[2] = {nullptr, item};  // slot 0 lets a bound method prepend self in place
        return call(buf + 1);
    }
    PyObject *operator()(PyObject *first, PyObject *second) noexcept {
        PyObject *buf[3] = {nullptr, first, second};
        return call(buf + 1);
    }

    // Asks for what the calls on later items will read, for a loop over `items` that is at `i`
    // of `n`. A body evaluated natively takes a few nanoseconds an item, so it looks further ahead
    // than a loop of real calls does.
    template <class Ref>
    void prefetch(const Ref *items, std::size_t i, std::size_t n) const noexcept {
        if (program_ == nullptr) {
            prefetch_for_calls(items, i, n);
            return;
        }
        if (i + 2 * evaluations_ahead < n) lumo::prefetch(items[i + 2 * evaluations_ahead].get());
        if (i + evaluations_ahead < n) prefetch_fields(items[i + evaluations_ahead].get());
    }

private:
    static constexpr std::size_t evaluations_ahead = 8;

    PyObject *call(PyObject *const *args) noexcept;
    bool may_evaluate() noexcept;
    void use_code(PyObject *code) noexcept;
    void prepare_getter(PyObject *callable) noexcept;

    PyObject *callable_;
    int arg_count_;
    PyFunctionObject *function_ = nullptr;  // the callable, when it is a plain function
    Owned code_;                            // the code `program_` was read from, held so it stays that
    const Program *program_ = nullptr;      // nullptr: every item is a real call
    Program getter_;                        // the program of an itemgetter or attrgetter
    Owned getter_keys_;                     // what that program borrows: the key, or the names
    PyThreadState *thread_ = nullptr;
    std::uint64_t evaluated_ = 0;
};

// Native evaluation on or off for the whole process: on unless LUMO_NATIVE=0 was set when the
// module loaded. Returns the state before.
bool set_native_evaluation(bool on) noexcept;

// How many calls have been answered without the interpreter since the module loaded.
std::uint64_t native_evaluations() noexcept;

// Reads the switch and reserves what evaluation needs. At module initialisation; runs no Python
// code.
void init_calls() noexcept;

}  // namespace lumo
