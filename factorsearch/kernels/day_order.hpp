// One day's cross-section in ascending order without a comparison sort: a least-significant-digit
// radix sort on the bit pattern of float64 values. Pure C++: no interpreter.
//
// The order is the one the back-test and the rank statistics define: ascending value, equal values
// in ascending position (the input is handed over in position order and every pass is stable),
// -0.0 and 0.0 equal. NaN never enters: the callers keep only present values. A day of c cells
// costs a few linear passes instead of ~c log2 c unpredictable comparisons.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace factorsearch {

// The unsigned key whose ascending order is the ascending order of the (non-NaN) value.
inline std::uint64_t order_key(double v) {
  v += 0.0;  // -0.0 becomes 0.0: they compare equal, so they must share a key
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return (bits >> 63) ? ~bits : bits | (std::uint64_t{1} << 63);
}

struct KeyedPosition {
  std::uint64_t key;
  std::uint32_t position;
};

namespace day_order_detail {

// Stable insertion sort by key: what short runs cost least with.
inline void insertion_sort(KeyedPosition *a, std::size_t n) {
  for (std::size_t i = 1; i < n; ++i) {
    const KeyedPosition x = a[i];
    std::size_t j = i;
    for (; j > 0 && a[j - 1].key > x.key; --j) a[j] = a[j - 1];
    a[j] = x;
  }
}

// Stable LSD passes over the bytes [first, last) of the keys of a[0..n), through `spare` (n
// items). A byte every key shares moves nothing.
inline void byte_passes(KeyedPosition *a, std::size_t n, int first, int last, KeyedPosition *spare) {
  std::array<std::array<std::uint32_t, 256>, 8> count;
  for (int d = first; d < last; ++d) count[d].fill(0);
  for (std::size_t i = 0; i < n; ++i)
    for (int d = first; d < last; ++d) ++count[d][(a[i].key >> (8 * d)) & 0xff];
  KeyedPosition *from = a, *to = spare;
  for (int d = first; d < last; ++d) {
    std::array<std::uint32_t, 256> &c = count[d];
    if (c[(from[0].key >> (8 * d)) & 0xff] == n) continue;
    std::uint32_t sum = 0;
    for (std::uint32_t &b : c) sum += std::exchange(b, sum);
    for (std::size_t i = 0; i < n; ++i) to[c[(from[i].key >> (8 * d)) & 0xff]++] = from[i];
    std::swap(from, to);
  }
  if (from != a) std::copy(from, from + n, a);
}

// Stable LSD passes over the high half of the keys of a[0..n) in three digits of 11, 11 and 10
// bits, through `spare` (n items): fewer passes than bytes for a histogram that still fits the
// first-level cache. A digit every key shares moves nothing.
inline void high_half_passes(KeyedPosition *a, std::size_t n, KeyedPosition *spare) {
  constexpr int kShift[3] = {32, 43, 54};
  std::array<std::array<std::uint32_t, 2048>, 3> count;
  for (auto &c : count) c.fill(0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t k = a[i].key;
    ++count[0][(k >> 32) & 2047];
    ++count[1][(k >> 43) & 2047];
    ++count[2][k >> 54];
  }
  KeyedPosition *from = a, *to = spare;
  for (int d = 0; d < 3; ++d) {
    std::array<std::uint32_t, 2048> &c = count[d];
    const int shift = kShift[d];
    if (c[(from[0].key >> shift) & 2047] == n) continue;
    std::uint32_t sum = 0;
    for (std::uint32_t &b : c) sum += std::exchange(b, sum);
    for (std::size_t i = 0; i < n; ++i) to[c[(from[i].key >> shift) & 2047]++] = from[i];
    std::swap(from, to);
  }
  if (from != a) std::copy(from, from + n, a);
}

}  // namespace day_order_detail

// Sorts `items` (handed over in ascending position) by key, equal keys keeping their order.
// `scratch` is reused between calls.
//
// Only the high half of the keys goes through radix passes: values of one day rarely share them unless
// they are equal, and equal keys are already in position order (every pass is stable). Each run
// of keys with one high half is then ordered by its low half (a short run by insertion, a long
// one by four byte passes), so a day of distinct values costs three passes instead of eight.
inline void radix_sort(std::vector<KeyedPosition> &items, std::vector<KeyedPosition> &scratch) {
  using namespace day_order_detail;
  const std::size_t n = items.size();
  if (n < 2) return;
  if (n <= 64) {  // short days: an insertion sort touches less memory than the histograms
    insertion_sort(items.data(), n);
    return;
  }
  scratch.resize(n);
  KeyedPosition *a = items.data();
  high_half_passes(a, n, scratch.data());
  constexpr std::size_t kShortRun = 32;
  for (std::size_t i = 0; i < n;) {
    const std::uint64_t high = a[i].key >> 32;
    std::size_t j = i + 1;
    bool sorted = true;
    for (; j < n && (a[j].key >> 32) == high; ++j) sorted = sorted && a[j - 1].key <= a[j].key;
    if (!sorted) {
      if (j - i <= kShortRun)
        insertion_sort(a + i, j - i);
      else
        byte_passes(a + i, j - i, 0, 4, scratch.data());
    }
    i = j;
  }
}

}  // namespace factorsearch
