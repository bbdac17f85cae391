#include "factorsearch/expr/formula_names.hpp"

namespace factorsearch {

OperatorTable operator_table(py::handle miner) {
  OperatorTable t;
  for (py::handle entry : miner.attr("fuc")) {
    OperatorSpec spec;
    py::object name = entry[py::int_(0)];
    if (py::isinstance<py::str>(name)) spec.name = name.cast<std::string>();
    spec.arity = py::int_(entry[py::int_(1)]).cast<std::int64_t>();
    t.specs.push_back(std::move(spec));
  }
  for (py::handle f : miner.attr("fields")) t.fields.push_back(py::str(f).cast<std::string>());
  return t;
}

std::vector<RenderItem> render_items(const Program &p, const OperatorTable &t) {
  std::vector<RenderItem> items;
  items.reserve(p.size());
  for (const Element &e : p) {
    RenderItem item;
    if (e.is_op()) {
      item.is_op = true;
      item.name = &t.specs[static_cast<std::size_t>(e.op)].name;
      item.arity = e.arity;
    } else {
      item.field = e.field;
    }
    items.push_back(item);
  }
  return items;
}

std::string text_of(const Program &p, const OperatorTable &t) {
  const auto items = render_items(p, t);
  return render(items, t.fields);
}

}  // namespace factorsearch
