// The access discipline on a sequence: any number of shared readers, or one exclusive holder
// (skip, while its count is converted). Python code that runs meanwhile may re-enter the module
// or switch threads; the flag turns such an overlap into a clear RuntimeError.
#pragma once

#include "core/seq.hpp"

namespace lumo {

// Shared access: any number of readers, refused while skip holds the sequence.
class SharedAccess {
public:
    explicit SharedAccess(Seq *s) noexcept : seq_(s) {
        std::int64_t cur = s->access_flag.load();
        do {
            if (cur == -1) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                seq_ = nullptr;
                return;
            }
        } while (!s->access_flag.compare_exchange_weak(cur, cur + 1));
    }
    ~SharedAccess() {
        if (seq_) seq_->access_flag.fetch_sub(1);
    }
    SharedAccess(const SharedAccess &) = delete;
    SharedAccess &operator=(const SharedAccess &) = delete;
    explicit operator bool() const noexcept { return seq_ != nullptr; }

private:
    Seq *seq_;
};

// Exclusive access: only when nobody else is using the sequence.
class ExclusiveAccess {
public:
    explicit ExclusiveAccess(Seq *s) noexcept : seq_(s) {
        std::int64_t expected = 0;
        if (!s->access_flag.compare_exchange_strong(expected, -1)) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            seq_ = nullptr;
        }
    }
    ~ExclusiveAccess() {
        if (seq_) seq_->access_flag.store(0);
    }
    ExclusiveAccess(const ExclusiveAccess &) = delete;
    ExclusiveAccess &operator=(const ExclusiveAccess &) = delete;
    explicit operator bool() const noexcept { return seq_ != nullptr; }

private:
    Seq *seq_;
};

}  // namespace lumo
