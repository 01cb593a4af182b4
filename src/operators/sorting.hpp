// The sorts behind order_by. natural_merge_sort takes any comparison, Python's included: its
// bounds come from run lengths only, never from what a comparison answers, so a lying __lt__
// gives a wrong order and nothing worse. radix_sort orders (code, index) pairs by their codes
// and calls nothing. No Python code runs here except through the caller's `before`.
#pragma once

#include "core/owned.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

namespace lumo {

// Runs shorter than this are extended by binary insertion before any merge.
inline constexpr std::size_t min_run = 32;

namespace detail {

// Stable merge of src[lo, mid) and src[mid, hi) into dst[lo, hi). Ties keep the left run first.
template <class T, class Before>
bool merge_runs(Before &before, const T *src, T *dst, std::size_t lo, std::size_t mid, std::size_t hi) {
    std::size_t i = lo, j = mid, k = lo;
    while (i < mid && j < hi) {
        int right_first = before(src[j], src[i]);
        if (right_first < 0) return false;
        dst[k++] = right_first ? src[j++] : src[i++];
    }
    while (i < mid) dst[k++] = src[i++];
    while (j < hi) dst[k++] = src[j++];
    return true;
}

// Finds the run that starts at `lo`, reverses it when it is strictly descending (so equal keys
// never swap) and extends it to `min_run` items by binary insertion. Sets `hi` to its end.
template <class T, class Before>
bool next_run(Before &before, T *a, std::size_t n, std::size_t lo, std::size_t &hi) {
    hi = lo + 1;
    if (hi < n) {
        int descending = before(a[hi], a[lo]);
        if (descending < 0) return false;
        for (++hi; hi < n; ++hi) {
            int step = before(a[hi], a[hi - 1]);
            if (step < 0) return false;
            if (step != descending) break;
        }
        if (descending) std::reverse(a + lo, a + hi);
    }
    std::size_t end = std::min(lo + min_run, n);
    for (; hi < end; ++hi) {
        // After every item that the new one does not go before: stable.
        std::size_t left = lo, right = hi;
        while (left < right) {
            std::size_t middle = left + (right - left) / 2;
            int goes = before(a[hi], a[middle]);
            if (goes < 0) return false;
            if (goes) right = middle;
            else left = middle + 1;
        }
        T pivot = a[hi];
        std::copy_backward(a + left, a + hi, a + hi + 1);
        a[left] = pivot;
    }
    return true;
}

}  // namespace detail

// Sorts `a` stably: ascending runs and strictly descending ones (reversed) are found first,
// short runs are extended by binary insertion, and neighbouring runs are merged pairwise,
// pass after pass. Presorted or reversed input costs n - 1 comparisons. `before(x, y)` answers
// 1 when x goes before y, 0 when not, -1 with an exception set, which stops the sort: false is
// returned and the contents of `a` are unspecified. T is trivially copyable.
template <class T, class Before>
bool natural_merge_sort(PyMemVec<T> &a, Before before) {
    const std::size_t n = a.size();
    if (n < 2) return true;
    PyMemVec<std::size_t> ends;  // where each run ends, in order
    ends.reserve(n / min_run + 1);
    for (std::size_t lo = 0, hi = 0; lo < n; lo = hi) {
        if (!detail::next_run(before, a.data(), n, lo, hi)) return false;
        ends.push_back(hi);
    }
    if (ends.size() == 1) return true;
    PyMemVec<T> buffer(n);
    T *src = a.data(), *dst = buffer.data();
    while (ends.size() > 1) {
        std::size_t kept = 0, lo = 0;
        for (std::size_t r = 0; r < ends.size(); r += 2) {
            if (r + 1 == ends.size()) {
                std::copy(src + lo, src + ends[r], dst + lo);
                ends[kept++] = ends[r];
                break;
            }
            if (!detail::merge_runs(before, src, dst, lo, ends[r], ends[r + 1])) return false;
            lo = ends[r + 1];
            ends[kept++] = lo;
        }
        ends.resize(kept);
        std::swap(src, dst);
    }
    if (src != a.data()) std::copy(src, src + n, a.data());
    return true;
}

// An item's sort code and its position in the input.
struct Coded {
    std::uint64_t code;
    std::size_t index;
};

// Sorts a[0, n) stably by code; `buffer` holds n more. Whole bytes that every code shares are
// skipped, so small ranges of integers cost few passes.
inline void radix_sort(Coded *a, Coded *buffer, std::size_t n) noexcept {
    if (n < 64) {
        for (std::size_t i = 1; i < n; ++i) {
            Coded item = a[i];
            std::size_t j = i;
            for (; j > 0 && a[j - 1].code > item.code; --j) a[j] = a[j - 1];
            a[j] = item;
        }
        return;
    }
    std::size_t counts[8][256] = {};
    auto digit = [](std::uint64_t code, unsigned b) { return (code >> (8U * b)) & 0xffU; };
    for (std::size_t i = 0; i < n; ++i) {
        for (unsigned b = 0; b < 8; ++b) ++counts[b][digit(a[i].code, b)];
    }
    Coded *src = a, *dst = buffer;
    for (unsigned b = 0; b < 8; ++b) {
        std::size_t *count = counts[b];
        if (count[digit(src[0].code, b)] == n) continue;  // one value: nothing moves
        std::size_t offset = 0;
        for (std::size_t &c : counts[b]) offset += std::exchange(c, offset);
        for (std::size_t i = 0; i < n; ++i) dst[count[digit(src[i].code, b)]++] = src[i];
        std::swap(src, dst);
    }
    if (src != a) std::memcpy(a, src, n * sizeof(Coded));
}

// True when `coded` is left sorted without a sort: it is ascending under `compare` (a three-way
// comparison: negative, zero or positive), or strictly descending and then reversed in place,
// which is stable since no two are equal. Presorted and reversed input cost one pass.
template <class Compare>
bool sorted_if_monotone(PyMemVec<Coded> &coded, Compare compare) {
    const std::size_t n = coded.size();
    std::size_t ascending = 1, descending = 1;
    while (ascending < n && compare(coded[ascending - 1], coded[ascending]) <= 0) ++ascending;
    if (ascending == n) return true;
    while (descending < n && compare(coded[descending - 1], coded[descending]) > 0) ++descending;
    if (descending != n) return false;
    std::reverse(coded.begin(), coded.end());
    return true;
}

// Sorts `coded` stably by code: in place when it is already ascending or strictly descending,
// by radix otherwise.
inline void sort_codes(PyMemVec<Coded> &coded) {
    auto by_code = [](const Coded &a, const Coded &b) { return a.code < b.code ? -1 : a.code > b.code ? 1 : 0; };
    if (sorted_if_monotone(coded, by_code)) return;
    const std::size_t n = coded.size();
    PyMemVec<Coded> buffer(n);
    radix_sort(coded.data(), buffer.data(), n);
}

}  // namespace lumo
