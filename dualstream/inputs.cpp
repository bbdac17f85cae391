#include "dualstream/inputs.hpp"

#include <span>
#include <string>

#include "common/safety.hpp"
#include "common/trainer.hpp"
#include "dualstream/day_index.hpp"

namespace dualstream {
using namespace alphaloom;

namespace {

// In eval() mode rows do not interact, so the budget only trades memory for fewer passes. On a
// CPU the arithmetic dominates and a moderate block stays in cache; on a GPU each pass costs a
// fixed number of kernel launches (the decoder's T steps), so the block is larger.
constexpr long long kEvalRowsCpu = 4096;
constexpr long long kEvalRowsGpu = 16384;

std::string repr_of(py::handle o) { return py::repr(o).cast<std::string>(); }

// `values` (a Series, frame or array-like) as a flat NumPy array of `dtype`, `n` long.
py::array flat_values(py::handle values, py::handle dtype, long long n, const char *what) {
  py::object v = py::reinterpret_borrow<py::object>(values);
  if (py::hasattr(v, "to_numpy")) v = v.attr("to_numpy")();
  py::array a = contiguous(libs().np.attr("asarray")(v, "dtype"_a = dtype).attr("reshape")(-1),
                           dtype);
  if (a.shape(0) != n)
    raise(PyExc_ValueError, std::string(what) + " has " + std::to_string(a.shape(0)) +
                                " values for " + std::to_string(n) + " feature rows");
  return a;
}

}  // namespace

long long to_ll(py::handle v) {
  return py::int_(py::reinterpret_borrow<py::object>(v)).cast<long long>();
}

long long eval_rows(py::handle self) {
  long long rows = is_gpu_device(self.attr("device")) ? kEvalRowsGpu : kEvalRowsCpu;
  if (py::hasattr(self, "eval_rows")) {
    py::object v = self.attr("eval_rows");
    if (!v.is_none()) rows = whole_setting(v, "eval_rows");
  }
  if (rows <= 0) raise(PyExc_ValueError, "eval_rows must be positive");
  return rows;
}

py::array contiguous(py::handle values, py::handle dtype) {
  return libs().np_ascontiguousarray(values, "dtype"_a = dtype);
}

py::array feature_matrix(py::handle frame, const char *what) {
  require_frame(frame, what);
  py::handle f32 = libs().np_float32;
  py::array a = contiguous(frame.attr("to_numpy")("dtype"_a = f32), f32);
  const long long width = a.ndim() == 2 ? a.shape(1) : 0;
  if (width == 0) raise(PyExc_ValueError, std::string(what) + " has no feature columns");
  return a;
}

py::array label_vector(py::handle y, long long n, const char *what) {
  return flat_values(y, libs().np_float32, n, what);
}

// A missing class (NaN) cannot be trained or scored, and a cast would turn it into an arbitrary
// integer, so it is an error here.
py::array_t<std::int64_t> class_vector(py::handle m, long long n, const char *what) {
  py::array_t<double, py::array::c_style> f = flat_values(m, libs().np_float64, n, what);
  py::array_t<std::int64_t> out(n);
  auto src = f.unchecked<1>();
  auto dst = out.mutable_unchecked<1>();
  for (long long i = 0; i < n; ++i) {
    const double c = src(i);
    if (!(c == 0.0 || c == 1.0 || c == 2.0))
      raise(PyExc_ValueError, std::string(what) + " holds " + repr_of(py::float_(c)) + " at row " +
                                  std::to_string(i) +
                                  "; market-regime classes must be 0, 1 or 2 (a day without any "
                                  "known label has no class)");
    dst(i) = static_cast<std::int64_t>(c);
  }
  return out;
}

// One pass over sorted day codes.
daily::DayRanges day_ranges_of(py::handle frame, const char *what) {
  Libs &L = libs();
  require_day_level(frame, what, /*name_required=*/false);
  if (py::len(frame) == 0) raise(PyExc_ValueError, std::string(what) + " has no rows");
  py::object level = frame.attr("index").attr("get_level_values")(0);
  py::tuple fact = L.pd.attr("factorize")(level, "sort"_a = true);
  py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> codes(fact[0]);
  auto view = codes.unchecked<1>();
  std::span<const std::int64_t> span(view.data(0), static_cast<std::size_t>(view.shape(0)));
  try {
    py::gil_scoped_release nogil;
    return daily::day_ranges(span);
  } catch (const daily::DayOrderError &e) {
    const auto r = static_cast<py::ssize_t>(e.row);
    raise(PyExc_ValueError,
          std::string(what) + " is not ordered by day: row " + std::to_string(e.row) +
              " (day " + py::str(level[py::int_(r)]).cast<std::string>() + ") follows day " +
              py::str(level[py::int_(r - 1)]).cast<std::string>() +
              "; sort it by its first index level so that each day's rows are contiguous and "
              "the days ascending");
  } catch (const daily::MissingDayError &e) {
    raise(PyExc_ValueError, std::string(what) + " has no day in the first index level at row " +
                                std::to_string(e.row));
  }
}

}  // namespace dualstream
