#include "factorsearch/expr/evaluation.hpp"

#include "factorsearch/expr/walk.hpp"
#include "factorsearch/kernels/panel_layout.hpp"

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
  panel.resize(n * m);
  to_row_major(values.data(), n, m, panel.data());
  return true;
}

}  // namespace factorsearch
