#include "factorsearch/expr/evaluation.hpp"

#include "factorsearch/expr/walk.hpp"

namespace factorsearch {
using namespace alphaloom;

py::array_t<double, py::array::f_style> evaluate_program(py::handle mod, py::handle self,
                                                          const Drawn &drawn, const Market &market) {
  Walk walk(mod, self, drawn, market);
  return as_panel(walk.run(), walk, market);
}

bool evaluate_panel(py::handle mod, py::handle self, const Drawn &drawn, const Market &market,
                    std::vector<double> &panel, NodeMemo *memo) {
  Walk walk(mod, self, drawn, market);
  walk.use_memo(memo);
  Value result = walk.run();
  const std::size_t n = market.n_dates, m = market.n_stocks();
  if (m < 2) return false;
  auto values = as_panel(result, walk, market);
  auto u = values.unchecked<2>();
  panel.resize(n * m);
  for (std::size_t j = 0; j < m; ++j)
    for (std::size_t t = 0; t < n; ++t)
      panel[t * m + j] = u(static_cast<py::ssize_t>(t), static_cast<py::ssize_t>(j));
  return true;
}

}  // namespace factorsearch
