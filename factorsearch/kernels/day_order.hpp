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

// Sorts `items` (handed over in ascending position) by key, equal keys keeping their order.
// `scratch` is reused between calls.
inline void radix_sort(std::vector<KeyedPosition> &items, std::vector<KeyedPosition> &scratch) {
  const std::size_t n = items.size();
  if (n < 2) return;
  if (n <= 64) {  // short days: an insertion sort touches less memory than eight histograms
    for (std::size_t i = 1; i < n; ++i) {
      const KeyedPosition x = items[i];
      std::size_t j = i;
      for (; j > 0 && items[j - 1].key > x.key; --j) items[j] = items[j - 1];
      items[j] = x;
    }
    return;
  }
  std::array<std::array<std::uint32_t, 256>, 8> count{};
  for (const KeyedPosition &x : items)
    for (int d = 0; d < 8; ++d) ++count[d][(x.key >> (8 * d)) & 0xff];
  scratch.resize(n);
  KeyedPosition *from = items.data(), *to = scratch.data();
  for (int d = 0; d < 8; ++d) {
    std::array<std::uint32_t, 256> &c = count[d];
    // A digit every key shares (the exponent of a day's similar values, most often) moves nothing.
    if (c[(from[0].key >> (8 * d)) & 0xff] == n) continue;
    std::uint32_t sum = 0;
    for (std::uint32_t &b : c) sum += std::exchange(b, sum);
    for (std::size_t i = 0; i < n; ++i) to[c[(from[i].key >> (8 * d)) & 0xff]++] = from[i];
    std::swap(from, to);
  }
  if (from != items.data()) std::copy(from, from + n, items.data());
}

}  // namespace factorsearch
