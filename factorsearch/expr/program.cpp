#include "factorsearch/expr/program.hpp"

#include <stdexcept>

namespace factorsearch {

Program draw_program(std::int64_t n_ops, std::int64_t n_features,
                     const std::function<std::int64_t(std::int64_t)> &draw,
                     const std::function<std::int64_t(std::int64_t)> &arity) {
  Program program;
  // One counter per open operator on the path to the next position: arguments still missing.
  std::vector<std::int64_t> pending;
  std::int64_t k = draw(n_ops - 1);
  program.push_back({k, -1, arity(k)});
  pending.push_back(program.back().arity);
  while (!pending.empty()) {
    if (static_cast<std::int64_t>(pending.size()) < kMaxDepth) {
      k = draw(n_ops - 1);
      program.push_back({k, -1, arity(k)});
      pending.push_back(program.back().arity);
      continue;
    }
    program.push_back({-1, draw(n_features - 1), 0});
    pending.back() -= 1;
    while (pending.back() == 0) {
      pending.pop_back();
      if (pending.empty()) return program;
      pending.back() -= 1;
    }
  }
  return program;
}

std::string render(std::span<const RenderItem> items, std::span<const std::string> fields) {
  // The leading 0 is a sentinel: once the root closes it drops to -1 and closing stops, so the
  // text ends with exactly one ")" per operator.
  std::vector<std::int64_t> open{0};
  std::string out;
  const auto n_fields = static_cast<std::int64_t>(fields.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const RenderItem &item = items[i];
    if (item.is_op) {
      open.push_back(item.arity);
      if (item.name) {
        out += *item.name;
        out += '(';
      }
      continue;
    }
    std::int64_t k = item.field < 0 ? item.field + n_fields : item.field;
    if (k < 0 || k >= n_fields) throw std::out_of_range("list index out of range");
    out += fields[static_cast<std::size_t>(k)];
    open.back() -= 1;
    while (open.back() == 0) {
      open.pop_back();
      if (open.empty()) throw std::out_of_range("pop from empty list");
      open.back() -= 1;
      out += ')';
    }
    if (i + 1 != items.size()) out += ", ";
  }
  return out;
}

}  // namespace factorsearch
