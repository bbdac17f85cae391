// The names formulas are printed and read with: an instance's operators (name, arity) and its
// fields, taken once from its attributes, and a program rendered with them.
#pragma once

#include <string>
#include <vector>

#include "common/pyglue.hpp"
#include "factorsearch/expr/formula_parser.hpp"

namespace factorsearch {
namespace py = pybind11;

struct OperatorTable {
  std::vector<OperatorSpec> specs;
  std::vector<std::string> fields;
};

// From the miner's `fuc` and `fields`; an operator whose name is not text keeps an empty one (it
// never renders).
OperatorTable operator_table(py::handle miner);
std::vector<RenderItem> render_items(const Program &p, const OperatorTable &t);
std::string text_of(const Program &p, const OperatorTable &t);

}  // namespace factorsearch
