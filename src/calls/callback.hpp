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

    // The loop of an operator that runs no Python code between items, over `items` [i, n) in
    // order: each item's value (a new reference) goes to `take(index, value)`, evaluated natively
    // in runs where it can be and called for where a run stops. The guards are checked once per
    // run, which is exact because nothing in a run runs Python code: `take` may do so only when it
    // then returns false, and the next run checks them again. `stopped()` ends the loop (an answer
    // that ends a scan, an error `take` met). False with the callable's exception set.
    // may run Python
    template <class Take, class Stopped>
    bool for_each(const Owned *items, std::size_t i, std::size_t n, Take &&take, Stopped &&stopped) {
        while (i < n) {
            i = evaluate_run(items, i, n, take);
            if (i == n || stopped()) break;
            prefetch(items, i, n);
            PyObject *buf[2] = {nullptr, items[i].get()};
            PyObject *value = real_call(buf + 1);  // its evaluation has just given up
            if (value == nullptr) return false;
            take(i, value);
            if (stopped()) break;
            ++i;
        }
        return true;
    }

    // Asks for what the calls on later items will read, for a loop over `items` that is at `i`
    // of `n`. A body evaluated natively takes a few nanoseconds an item, so it looks further ahead
    // than a loop of real calls does.
    template <class Ref>
    void prefetch(const Ref *items, std::size_t i, std::size_t n) const noexcept {
        if (program_ == nullptr || arg_count_ != 1) {
            prefetch_for_calls(items, i, n);
            return;
        }
        if (i + 3 * evaluations_ahead < n) prefetch_item(*program_, items[i + 3 * evaluations_ahead].get());
        if (i + 2 * evaluations_ahead < n) prefetch_first_field(*program_, items[i + 2 * evaluations_ahead].get());
        // The value a read reaches is found by making the read once more: worth it where the
        // items are many, when they lie scattered beyond the caches.
        if (n >= min_read_ahead && i + evaluations_ahead < n) {
            prefetch_read_value(*program_, items[i + evaluations_ahead].get());
        }
    }

private:
    // Evaluates the callable natively for the items from `i` on, for as long as that can be done,
    // handing each value to `take`. Returns the index of the first item not handled: `n`, an item
    // whose evaluation needs the real call, or the one after an item for which `take` returned
    // false.
    template <class Take>
    std::size_t evaluate_run(const Owned *items, std::size_t i, std::size_t n, Take &&take) {
        if (program_ == nullptr || arg_count_ != 1 || !may_evaluate()) return i;
        for (; i < n; ++i) {
            prefetch(items, i, n);
            PyObject *arg = items[i].get();
            PyObject *value = evaluate(*program_, Frame{&arg, 1, function_});
            if (value == nullptr) {
                gave_up();
                return i;
            }
            ++evaluated_;
            given_up_in_a_row_ = 0;
            if (!take(i, value)) return i + 1;
        }
        return n;
    }

    static constexpr std::size_t evaluations_ahead = 6;
    static constexpr std::size_t min_read_ahead = 4096;
    // Nested recursion checks the real call makes on its way to the deepest C code a shape runs:
    // the frame's own and one comparison's, with one to spare.
    static constexpr int call_recursion_levels = 3;

    PyObject *call(PyObject *const *args) noexcept {
        if (program_ != nullptr && may_evaluate()) {
            if (PyObject *value = evaluate(*program_, Frame{args, arg_count_, function_})) {
                ++evaluated_;
                given_up_in_a_row_ = 0;
                return value;
            }
            gave_up();
        }
        return real_call(args);
    }

    PyObject *real_call(PyObject *const *args) noexcept {
        return PyObject_Vectorcall(callable_, args, static_cast<std::size_t>(arg_count_) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr);
    }

    // A body recognised but never answerable for these items (`x[1]` over strs, say) only adds
    // its attempts to the calls: after this many in a row, the rest of the operator call is
    // simply called.
    static constexpr int attempts_without_answer = 32;
    void gave_up() noexcept {
        if (++given_up_in_a_row_ == attempts_without_answer) program_ = nullptr;
    }

    // Whether the body may be evaluated for the next item. Any Python code that ran since the last
    // one (a real call, the operator's other callable, a __hash__, a finalizer) may have changed
    // what this guards, so it is asked before every item: the function's __code__ and defaults, a
    // monitoring tool (sys.settrace and sys.setprofile are tools too, since 3.12), the recursion
    // limit. The program itself re-reads closure cells, globals and types' version tags.
    bool may_evaluate() noexcept {
        if (function_ != nullptr) {
            if (function_->func_code != code_.get() && !use_new_code()) return false;
            if (missing_ > 0 && !defaults_cover_missing()) return false;  // the real call raises TypeError
            auto *code = reinterpret_cast<PyCodeObject *>(code_.get());
            if (code->_co_monitoring != nullptr && local_monitors(code)) return false;
        }
        return !monitors_listen() && thread_->py_recursion_remaining > call_recursion_levels;
    }

    bool use_new_code() noexcept;
    bool defaults_cover_missing() const noexcept;
    static bool local_monitors(PyCodeObject *code) noexcept;
    static bool monitors_listen() noexcept;
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
    int missing_ = 0;  // the function's parameters that the call leaves to their defaults
    int given_up_in_a_row_ = 0;
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
