#include "dualstream/regimes.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "common/libs.hpp"
#include "common/safety.hpp"
#include "dualstream/day_index.hpp"
#include "dualstream/daily.hpp"
#include "dualstream/inputs.hpp"

namespace dualstream {
using namespace alphaloom;

namespace {

// Mean label of each day; a one-column frame is read as its column. No squeeze to a scalar, so
// a single-day split stays a Series.
py::object daily_means(py::handle label) {
  require_day_level(label, "the labels", /*name_required=*/true);
  py::object means = label.attr("groupby")("datetime").attr("mean")();
  if (py::isinstance(means, libs().DataFrame)) {
    if (py::len(means.attr("columns")) != 1)
      raise(PyExc_ValueError, "the labels must be a Series or a one-column DataFrame");
    means = means.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), 0)];
  }
  return means;
}

py::array_t<double, py::array::c_style> float64_values(py::handle series) {
  return contiguous(series.attr("to_numpy")("dtype"_a = libs().np_float64), libs().np_float64);
}

// Classes as int64 when every day has one, else float64 with NaN for the days without.
py::object class_values(const std::vector<std::int64_t> &cls) {
  if (std::find(cls.begin(), cls.end(), -1) == cls.end()) {
    py::array_t<std::int64_t> a(static_cast<py::ssize_t>(cls.size()));
    std::copy(cls.begin(), cls.end(), a.mutable_data());
    return a;
  }
  py::array_t<double> a(static_cast<py::ssize_t>(cls.size()));
  double *p = a.mutable_data();
  for (std::size_t i = 0; i < cls.size(); ++i)
    p[i] = cls[i] < 0 ? std::numeric_limits<double>::quiet_NaN() : static_cast<double>(cls[i]);
  return a;
}

}  // namespace

py::object fit_thresh(py::object self, py::object train_label) {
  py::array_t<double, py::array::c_style> means = float64_values(daily_means(train_label));
  const double qs[2] = {1.0 / 3.0, 2.0 / 3.0};
  std::vector<double> q;
  {
    std::span<const double> v(means.data(), static_cast<std::size_t>(means.shape(0)));
    py::gil_scoped_release nogil;
    q = daily::quantiles(v, qs);
  }
  if (std::isnan(q[0]) || std::isnan(q[1]))
    raise(PyExc_ValueError,
          "no day of the training labels has a known label, so the market-regime thresholds "
          "cannot be set");
  self.attr("lo") = py::float_(q[0]);
  self.attr("hi") = py::float_(q[1]);
  return py::none();
}

py::object gen_market_label(py::object self, py::object df, py::object raw_label) {
  require_day_level(df, "the frame", /*name_required=*/false);
  py::object means = daily_means(raw_label);
  const double lo = to_double(self.attr("lo")), hi = to_double(self.attr("hi"));
  if (!(lo < hi))
    raise(PyExc_ValueError,
          format("the market-regime thresholds do not separate three regimes (lo = {}, hi = {}): "
                 "the training split's daily mean labels are too concentrated",
                 lo, hi)
              .cast<std::string>());
  py::array_t<double, py::array::c_style> v = float64_values(means);
  std::vector<std::int64_t> cls;
  {
    std::span<const double> s(v.data(), static_cast<std::size_t>(v.shape(0)));
    py::gil_scoped_release nogil;
    cls = daily::regime_classes(s, lo, hi);
  }
  py::object market = libs().Series(class_values(cls), "index"_a = means.attr("index"),
                                    "name"_a = "market_return");
  return df.attr("join")(market);
}

py::object drop_unlabelled_days(py::handle self, py::object df, const char *what) {
  Libs &L = libs();
  py::object known = df["market_return"].attr("notna")();
  if (!known.attr("all")().cast<bool>()) {
    py::object days = df.attr("index").attr("get_level_values")(0);
    long long n_days = to_ll(days[known.attr("__invert__")().attr("to_numpy")()].attr("nunique")());
    df = df.attr("loc")[known];
    emit(self, format("{}: left out {} day(s) without a known label", what, n_days));
  }
  if (py::len(df) == 0)
    raise(PyExc_ValueError, std::string(what) + " has no day with a known label");
  py::dict cols;
  cols["market_return"] = L.np.attr("int64");
  return df.attr("astype")(cols);
}

}  // namespace dualstream
