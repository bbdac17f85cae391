// Random formula trees and their rendering as call-expression text. Pure C++: the caller supplies
// the random draws and the operator arities, so the interpreter's generator stays the only source
// of randomness and a seeded run is reproducible.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace factorsearch {

// Operators stand at depths 0, 1 and 2; fields at depth 3.
inline constexpr std::int64_t kMaxDepth = 3;

struct Element {
  std::int64_t op = -1;     // index into the operator list; -1 for a field terminal
  std::int64_t field = -1;  // field index of a terminal
  std::int64_t arity = 0;   // arguments of an operator, as drawn
  bool is_op() const { return op >= 0; }
};
using Program = std::vector<Element>;

// `draw(hi)` returns a uniform integer in [0, hi]; `arity(k)` is the arity of operator k and must
// be at least 1 (otherwise the operator never closes). Draws happen in pre-order, one per element.
Program draw_program(std::int64_t n_ops, std::int64_t n_features,
                     const std::function<std::int64_t(std::int64_t)> &draw,
                     const std::function<std::int64_t(std::int64_t)> &arity);

struct RenderItem {
  bool is_op = false;
  const std::string *name = nullptr;  // operator name; nullptr when the name is not text
  std::int64_t arity = 0;             // operators
  std::int64_t field = 0;             // terminals; negative counts from the end, as list indexing
};

// "A(B(close), C(open, volume))". Throws std::out_of_range for a field index outside `fields`.
std::string render(std::span<const RenderItem> items, std::span<const std::string> fields);

}  // namespace factorsearch
