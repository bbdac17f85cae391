#include "factorsearch/market/holdout.hpp"

#include <algorithm>
#include <cmath>

#include "factorsearch/backtest/backtest.hpp"
#include "factorsearch/market/dates.hpp"

namespace factorsearch {
using namespace alphaloom;

py::object holdout_position(py::handle holdout, py::handle data1, std::size_t warmup) {
  if (holdout.is_none()) return py::none();
  py::module_ pd = py::module_::import("pandas");
  py::object index = data1.attr("index");
  const std::size_t n = py::len(index);
  std::size_t at;
  const bool number = !PyBool_Check(holdout.ptr()) &&
                      py::isinstance(holdout, py::module_::import("numbers").attr("Real"));
  if (PyBool_Check(holdout.ptr()))  // a bad holdout is a ValueError, as the docs list it
    raise(PyExc_ValueError, "holdout must be a date or a fraction in (0, 1), got a bool");
  if (number) {
    const double frac = to_double(holdout);
    if (!(frac > 0.0 && frac < 1.0))
      raise(PyExc_ValueError,
            format("holdout as a number is a fraction of the dates in (0, 1), got {!r}", holdout));
    // round() as Python rounds, halves to even: 0.37 of 250 dates holds out 92, not 93.
    const auto kept = static_cast<std::size_t>(std::nearbyint(frac * static_cast<double>(n)));
    at = n - std::max<std::size_t>(1, std::min(kept, n));
  } else {
    py::object when = date_key(index, holdout, "holdout");
    at = index.attr("searchsorted")(when, "side"_a = "left").cast<std::size_t>();
  }
  const std::size_t held = n - at;
  if (at < warmup + 3)
    raise(PyExc_ValueError,
          format("the in-sample part before the hold-out has {} dates; mining needs at least {} "
                 "(data1 has {} dates, {} .. {})",
                 at, warmup + 3, n, n ? py::object(index[py::int_(0)]) : py::object(py::none()),
                 n ? py::object(index[py::int_(n - 1)]) : py::object(py::none())));
  if (held < 3)
    raise(PyExc_ValueError,
          format("the hold-out has {} dates; it needs at least 3 (one back-test day and the two "
                 "dates it trades on); data1 ends {}",
                 held, index[py::int_(n - 1)]));
  return py::int_(at);
}

SampleCut cut_in_sample(py::handle data1, py::handle price1, py::handle holdout_at) {
  SampleCut in{py::reinterpret_borrow<py::object>(data1), py::reinterpret_borrow<py::object>(price1),
              py::none()};
  if (holdout_at.is_none()) return in;
  in.first_held = data1.attr("index")[holdout_at];
  in.frames = data1.attr("loc")[data1.attr("index").attr("__lt__")(in.first_held)];
  in.prices = price1.attr("loc")[price1.attr("index").attr("__lt__")(in.first_held)];
  return in;
}

MiningData prepare_mining_data(py::handle frames, py::handle prices, py::handle universe,
                               py::handle holdout_at, std::size_t warmup) {
  MiningData data;
  data.warmup = warmup;
  if (holdout_at.is_none()) {
    data.sample = prepare_market(frames, prices, universe);
    return data;
  }
  data.holdout_at = holdout_at.cast<std::size_t>();
  data.whole.emplace(prepare_market(frames, prices, universe));
  const SampleCut in = cut_in_sample(frames, prices, holdout_at);
  data.sample = prepare_market(in.frames, in.prices, universe);
  return data;
}

}  // namespace factorsearch
