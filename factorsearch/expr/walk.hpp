// Node-by-node evaluation of a drawn program over the whole universe. A node runs in panel form
// when its arguments are exactly what its panel form needs (float64 values on data1's dates) and
// per stock otherwise, so every node sees what the per-stock evaluation would give it.
#pragma once

#include <array>
#include <optional>
#include <vector>

#include <pybind11/numpy.h>

#include "factorsearch/expr/drawn.hpp"
#include "factorsearch/market/market.hpp"
#include "factorsearch/expr/operators.hpp"

namespace factorsearch {

// One node's result over the universe.
struct Value {
  int field = -1;                  // a field terminal: its data is looked up where it is used
  py::object panel;                // dates x stocks ndarray, F-ordered, or null
  std::vector<py::object> stocks;  // one result per stock, when neither of the above
  bool series = true;              // a panel's per-stock form is a Series (else an array)
  py::object name;                 // that Series' name
};

// Values of whole subtrees kept across walks, so that a subtree several formulas share is
// evaluated once (the genetic search). A walk consults it only when the formula has none of the
// caller's own per-stock operators: their calls may depend on order or write into arguments.
class NodeMemo {
 public:
  virtual ~NodeMemo() = default;
  // The value of the operator subtree starting at position i, or null; `end` gets one past it.
  virtual const Value *find(std::size_t i, std::size_t &end) = 0;
  virtual void keep(std::size_t i, const Value &v) = 0;
};

// Dates x stocks float64 F-ordered arrays of one market, handed out again once nothing else holds
// them (a node's value that a subtree cache, a view or a caller keeps is never reused): a fresh
// 24-100 MB array costs its page faults, as much as several nodes' arithmetic. Keeps at most
// kArrays arrays and kBytes bytes; a take beyond that is a fresh array.
class PanelPool {
 public:
  using Panel = py::array_t<double, py::array::f_style>;
  static constexpr std::size_t kArrays = 8;
  static constexpr std::size_t kBytes = std::size_t{1} << 30;
  Panel take(std::size_t n_dates, std::size_t n_stocks);

 private:
  std::vector<Panel> arrays_;
};

class Walk {
 public:
  Walk(py::handle mod, py::handle self, const Drawn &drawn, const Market &market);
  void use_memo(NodeMemo *memo) { memo_ = memo; }
  void use_pool(PanelPool *pool) { pool_ = pool; }
  Value run();
  // The per-stock form of `v` for stock j, as the per-stock evaluation would pass it on.
  py::object stock_arg(const Value &v, std::size_t j);
  // The current data of field slot `s` (a private copy once a per-stock operator has it).
  py::object field_panel(int s);

 private:
  struct PanelArg {
    py::object array;
    bool series;
    py::object name;
  };
  Value node();
  py::object stock_node(std::size_t j);
  bool stock_by_stock() const;
  const std::vector<py::object> &field_objects(int s);
  std::optional<PanelArg> exact_panel(const Value &v);
  py::object any_panel(const Value &v);
  std::optional<Value> try_ufunc(const ResolvedOp &op, const std::vector<Value> &args);
  std::optional<Value> try_kernel(const ResolvedOp &op, const std::vector<Value> &args);
  Value per_stock(const ResolvedOp &op, const std::vector<Value> &args);

  py::handle mod_;
  const Drawn &drawn_;
  const Market &mk_;
  std::vector<ResolvedOp> ops_;  // per position; empty for terminals
  std::vector<int> slots_;       // per position: the field slot of a terminal
  std::size_t pos_ = 0;
  py::array_t<double, py::array::f_style> fresh_panel();
  NodeMemo *memo_ = nullptr;
  PanelPool *pool_ = nullptr;
  std::array<py::object, 5> private_;
  std::array<std::vector<py::object>, 5> objects_;
  py::object series_type_;
};


// The value as the F-ordered float64 dates x stocks factor panel.
py::array_t<double, py::array::f_style> as_panel(const Value &v, Walk &walk, const Market &market);

}  // namespace factorsearch
