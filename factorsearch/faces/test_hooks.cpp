#include "factorsearch/faces/test_hooks.hpp"

#include <string>
#include <vector>

#include "common/parallel.hpp"
#include "factorsearch/backtest/backtest.hpp"
#include "factorsearch/backtest/selection_checks.hpp"
#include "factorsearch/kernels/ta_kernels.hpp"
#include "factorsearch/market/arguments.hpp"
#include "factorsearch/search/gp_tree.hpp"

namespace factorsearch {
using namespace alphaloom;

// Native `ta` kernel over dates x stocks arrays, for tests: inputs in the function's positional
// order, output of the same shape.
py::object ta_panel(const std::string &module, const std::string &name, py::args inputs,
                    int threads) {
  const ta::Kernel *kernel = nullptr;
  for (const auto &k : ta::kernels())
    if (module == k.module && name == k.name) kernel = &k;
  if (!kernel) throw py::key_error("no native kernel for ta." + module + "." + name);
  if (static_cast<int>(inputs.size()) != kernel->arity)
    throw py::type_error(name + " takes " + std::to_string(kernel->arity) + " input arrays, got " +
                         std::to_string(inputs.size()));
  using Panel = py::array_t<double, py::array::f_style | py::array::forcecast>;
  std::vector<Panel> panels;
  for (py::handle x : inputs) {
    panels.emplace_back(Panel::ensure(x));
    if (!panels.back() || panels.back().ndim() != 2 ||
        panels.back().shape(0) != panels.front().shape(0) ||
        panels.back().shape(1) != panels.front().shape(1))
      throw py::value_error("inputs must be 2-D arrays of one dates x stocks shape");
  }
  const auto rows = static_cast<std::size_t>(panels.front().shape(0));
  const auto cols = static_cast<std::size_t>(panels.front().shape(1));
  if (rows < kernel->min_rows)
    throw py::value_error(name + " needs at least " + std::to_string(kernel->min_rows) + " rows");
  Panel out({panels.front().shape(0), panels.front().shape(1)});
  std::vector<const double *> ptrs;
  for (auto &p : panels) ptrs.push_back(p.data());
  {
    py::gil_scoped_release nogil;
    ta::run_panel(*kernel, ptrs.data(), out.mutable_data(), rows, cols,
                  threads > 0 ? threads : usable_cores());
  }
  return out;
}

py::object evaluate_list(py::handle mod, py::handle self, py::handle program, py::handle data1,
                         py::handle price1, py::handle zz500) {
  Drawn drawn = drawn_from_list(self, program);
  Market market = prepare_market(data1, price1, zz500);
  return evaluate_program(mod, self, drawn, market);
}

py::object backtest_arrays(py::handle panel, py::handle prices, py::handle legs_arg, bool hedged) {
  const std::int64_t legs = whole_number(legs_arg, "l", 1);
  using Matrix = py::array_t<double, py::array::c_style | py::array::forcecast>;
  py::module_ np = py::module_::import("numpy");
  Matrix f(np.attr("asarray")(panel, "dtype"_a = np.attr("float64")));
  Matrix p(np.attr("asarray")(prices, "dtype"_a = np.attr("float64")));
  if (f.ndim() != 2 || p.ndim() != 2 || f.shape(0) != p.shape(0) || f.shape(1) != p.shape(1))
    raise(PyExc_ValueError, "panel and prices must be two arrays of the same dates x stocks shape");
  const auto n = static_cast<std::size_t>(f.shape(0));
  const auto m = static_cast<std::size_t>(f.shape(1));
  std::vector<double> pft;
  std::optional<Summary> s;
  {
    py::gil_scoped_release nogil;
    pft = daily_returns({f.data(), n * m}, {p.data(), n * m}, n, m, legs, hedged);
    s = summarise(pft);
  }
  if (!s) return py::none();
  py::array_t<double> daily(static_cast<py::ssize_t>(pft.size()));
  std::copy(pft.begin(), pft.end(), daily.mutable_data());
  return py::make_tuple(daily, s->net, s->sharpe, s->max_drawdown);
}

double rank_correlation(py::handle a, py::handle b, std::size_t first_day, std::size_t end_day) {
  using Matrix = py::array_t<double, py::array::c_style | py::array::forcecast>;
  Matrix x = Matrix::ensure(a), y = Matrix::ensure(b);
  if (!x || !y || x.ndim() != 2 || y.ndim() != 2 || x.shape(0) != y.shape(0) ||
      x.shape(1) != y.shape(1) || end_day < first_day ||
      end_day > static_cast<std::size_t>(x.shape(0)))
    raise(PyExc_ValueError, "a and b must be two dates x stocks arrays of one shape holding the days");
  const auto n = static_cast<std::size_t>(x.shape(0)), m = static_cast<std::size_t>(x.shape(1));
  py::gil_scoped_release nogil;
  return mean_rank_correlation(daily_ranks({x.data(), n * m}, m, first_day, end_day),
                               daily_ranks({y.data(), n * m}, m, first_day, end_day));
}

namespace {

py::list program_list(const Program &p) {
  py::list out;
  for (const Element &e : p) out.append(py::make_tuple(e.op, e.field, e.arity));
  return out;
}

}  // namespace

py::list gp_samples(std::vector<std::int64_t> arities, std::pair<std::int64_t, std::int64_t> init_depth,
                    std::int64_t max_depth, const std::string &variation, std::int64_t count,
                    std::uint64_t seed) {
  gp::Config cfg;
  for (std::size_t k = 0; k < arities.size(); ++k)
    cfg.ops.push_back({static_cast<std::int64_t>(k), arities[k]});
  cfg.init_min = init_depth.first;
  cfg.init_max = init_depth.second;
  cfg.max_depth = max_depth;
  const std::array<std::uint64_t, 4> key{seed, 0, 0, 0};
  py::list out;
  for (std::int64_t i = 0; i < count; ++i) {
    gp::Rng rng(key, 1, static_cast<std::uint64_t>(i));
    const Program parent = gp::ramped(rng, cfg), donor = gp::ramped(rng, cfg);
    Program child;
    if (variation == "crossover")
      child = gp::crossover(rng, parent, donor, cfg);
    else if (variation == "subtree")
      child = gp::subtree_mutation(rng, parent, cfg);
    else if (variation == "hoist")
      child = gp::hoist_mutation(rng, parent, cfg);
    else if (variation == "point")
      child = gp::point_mutation(rng, parent, cfg);
    else if (variation == "ramped")
      child = parent;
    else
      raise(PyExc_ValueError, "unknown variation " + variation);
    out.append(py::make_tuple(program_list(parent), program_list(donor), program_list(child)));
  }
  return out;
}

}  // namespace factorsearch
