// The equality index of the set operators: finds the first partner equal to a candidate exactly
// where the linear scan (first_equal) would, and still compares through Python every pair whose
// comparison may run Python code. Classifying and hashing run no Python code; memory is PyMem's.
#pragma once

#include "core/owned.hpp"

#include <cstddef>
#include <cstdint>

namespace lumo {

// How a value takes part in equality.
enum class Sameness : std::uint8_t {
    Scanned,  // its comparisons may run Python code: compared in order, as the scan does
    Hashed,   // == with another hashed value runs in C and agrees with the hash; equal to itself
    Unequal,  // a NaN: == with any hashed or unequal value runs in C and is false, itself included
    Inert,    // an exact list or dict whose contents may change: == with any hashed or unequal
              // value runs in C and is false, whatever the contents
};

// What the index knows about one value, learned once.
struct Plainness {
    std::uint64_t hash = 0;
    Sameness frozen = Sameness::Scanned;  // while no Python code runs
    Sameness thawed = Sameness::Scanned;  // when Python code may run meanwhile

    Sameness when(bool frozen_now) const noexcept { return frozen_now ? frozen : thawed; }
    // Whether comparing it with another plain value runs no Python code.
    bool plain() const noexcept { return frozen == Sameness::Hashed || frozen == Sameness::Unequal; }
};

using PlainnessVec = std::vector<Plainness, PyMemAllocator<Plainness>>;

// What holds for the whole of one operator call: whether plain values may be indexed at all
// (the interpreter's C recursion limit leaves room for comparing the deepest of them), and
// whether bytes count as plain (not under -b, where comparing bytes with str warns).
struct PlainRules {
    bool enabled = false;
    bool bytes_plain = false;

    // Learns the rules at the start of an operator; runs no Python code.
    static PlainRules current() noexcept;
};

// Classifies `value`. With `containers` false, nothing that holds a list, dict or set counts as
// hashed, which is how such values count once Python code may run between comparisons (its
// `frozen` and `thawed` then agree). Runs no Python code; cannot fail.
Plainness classify(PyObject *value, const PlainRules &rules, bool containers) noexcept;

// The partners of a scan (a vector that only grows at its end), indexed by position. Hashed
// partners sit in an open-addressing table keyed by their hash; scanned ones in a list of
// positions, in order; unequal and inert ones need no record, as no hashed or unequal candidate
// can equal them and comparing one with them runs no Python code.
class EqualityIndex {
public:
    // Records the partner at `position`, the next one.
    void add(std::size_t position, Sameness sameness, std::uint64_t hash);
    // The same for partners that may repeat: a hashed partner equal to one recorded earlier is
    // left out, so that the table holds the first of each group. false with an exception set.
    bool add_first(const ItemVec &partners, std::size_t position, Sameness sameness, std::uint64_t hash);
    // Forgets every partner.
    void clear() noexcept;

    // The index of the first partner equal to `candidate`, partners.size() when none is, -1 with
    // an exception set: what first_equal returns, after the same calls of Python code, in the
    // same order. may run Python
    std::ptrdiff_t find(const ItemVec &partners, PyObject *candidate, Sameness sameness, std::uint64_t hash,
                        bool candidate_left) const noexcept;

private:
    // 8 bytes, so that large tables still mostly sit in cache. The tag is the top half of the
    // scrambled hash; its top bits also place the slot, so the table can grow without the full
    // hashes.
    struct Slot {
        std::uint32_t position_plus_one;  // 0 for an empty slot
        std::uint32_t tag;
    };
    using Slots = std::vector<Slot, PyMemAllocator<Slot>>;

    std::ptrdiff_t find_hashed(const ItemVec &partners, PyObject *candidate, std::uint64_t hash,
                               bool candidate_left) const noexcept;
    void insert(std::size_t position, std::uint64_t hash);

    Slots slots_;  // a power of two in size, at most half full
    unsigned shift_ = 0;  // 32 - log2(slots_.size())
    std::size_t used_ = 0;
    std::vector<std::size_t, PyMemAllocator<std::size_t>> scanned_;
};

}  // namespace lumo
