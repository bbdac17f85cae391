#include "factorsearch/forecast/date_splits.hpp"

#include <string>

#include "common/pyglue.hpp"
#include "factorsearch/market/arguments.hpp"
#include "factorsearch/market/dates.hpp"

namespace factorsearch {
using namespace alphaloom;

namespace {

// The first index level's values of a frame whose rows are days (a DatetimeIndex) or (day, ...)
// tuples, as a DatetimeIndex; ValueError otherwise.
py::object row_dates(py::handle frame, const char *what) {
  py::module_ pd = py::module_::import("pandas");
  if (!py::isinstance(frame, pd.attr("DataFrame")))
    raise(PyExc_TypeError, std::string(what) + " must be a DataFrame, got " + type_name(frame));
  py::object index = frame.attr("index");
  py::object dates = py::isinstance(index, pd.attr("MultiIndex"))
                         ? index.attr("get_level_values")(0)
                         : index;
  if (!pd.attr("api").attr("types").attr("is_datetime64_any_dtype")(dates).cast<bool>())
    raise(PyExc_ValueError,
          format("{} needs dates as its index or its first index level (a (datetime, "
                 "instrument) MultiIndex, as window_features gives); its first level holds {}",
                 py::str(what), dates.attr("dtype")));
  return dates;
}

std::string day_text(py::handle ts) {
  if (ts.equal(ts.attr("normalize")())) return py::str(ts.attr("date")()).cast<std::string>();
  return py::str(ts.attr("isoformat")()).cast<std::string>();
}


// A selector text is evaluated after the frame, as fit evaluates it; a frame is taken as it is.
py::object selected(py::module_ mod, py::handle frame, py::handle part) {
  if (!py::isinstance<py::str>(part)) return py::reinterpret_borrow<py::object>(part);
  py::dict locals("dataset"_a = frame);
  return evaluate_selector(mod, "dataset", part, locals);
}

}  // namespace

void check_split(py::module_ mod, py::handle frame, py::handle train, py::handle test,
                 std::int64_t h) {
  py::object calendar = row_dates(frame, "the frame").attr("unique")().attr("sort_values")();
  py::object train_dates = row_dates(selected(mod, frame, train), "the training split");
  py::object test_dates = row_dates(selected(mod, frame, test), "the test split");
  if (py::len(train_dates) == 0 || py::len(test_dates) == 0) return;  // nothing can overlap
  py::object first = train_dates.attr("min")(), last = train_dates.attr("max")();
  // The last training label is the return over the `h` dates after the last training date.
  const auto at = calendar.attr("searchsorted")(last, "side"_a = "right").cast<std::int64_t>();
  const auto n = static_cast<std::int64_t>(py::len(calendar));
  const bool beyond = at - 1 + h >= n;  // the labels reach past the frame's last date
  py::object reach = calendar[py::int_(beyond ? n - 1 : at - 1 + h)];
  py::object inside = test_dates.attr("__ge__")(first).attr("__and__")(test_dates.attr("__le__")(reach));
  if (!inside.attr("any")().cast<bool>()) return;
  py::object clash = test_dates[inside].attr("min")();
  raise(PyExc_ValueError,
        format("the test split overlaps the training dates plus the {}-day label horizon: it holds "
               "{}, and the training split runs {} .. {} with labels reaching {} dates further{}; "
               "start the test period after that",
               h, py::str(day_text(clash)), py::str(day_text(first)), py::str(day_text(last)), h,
               beyond ? py::str("") : py::str(" (to " + day_text(reach) + ")")));
}

py::object split_dates(py::module_ mod, py::handle frame, py::handle valid_start,
                       py::handle test_start, py::handle test_end, std::int64_t h) {
  py::object calendar = row_dates(frame, "the frame").attr("unique")().attr("sort_values")();
  py::object v0 = timestamp(valid_start, "valid_start"), t0 = timestamp(test_start, "test_start");
  if (!v0.attr("__lt__")(t0).cast<bool>())
    raise(PyExc_ValueError, format("valid_start ({}) must come before test_start ({})",
                                   py::str(day_text(v0)), py::str(day_text(t0))));
  py::object t1 = test_end.is_none() ? py::object(py::none()) : timestamp(test_end, "test_end");
  const auto n = static_cast<std::int64_t>(py::len(calendar));
  auto position = [&](py::handle ts) {
    return calendar.attr("searchsorted")(ts, "side"_a = "left").cast<std::int64_t>();
  };
  // [begin, end) in calendar positions; the last `h` dates before the next split are left out,
  // since their labels are returns earned inside it.
  const std::int64_t valid_at = position(v0), test_at = position(t0);
  const std::int64_t test_stop = t1.is_none() ? n : calendar.attr("searchsorted")(t1, "side"_a = "right").cast<std::int64_t>();
  struct Part {
    const char *name;
    std::int64_t begin, end;
  } parts[3] = {{"training", 0, valid_at - h}, {"validation", valid_at, test_at - h},
                {"test", test_at, test_stop}};
  for (const Part &p : parts)
    if (p.end <= p.begin)
      raise(PyExc_ValueError,
            format("the {} split has no dates (the frame runs {} .. {}; {} dates before each "
                   "split's start are left out of the one before it)",
                   py::str(p.name), py::str(day_text(calendar[py::int_(0)])),
                   py::str(day_text(calendar[py::int_(n - 1)])), h));
  auto day = [&](std::int64_t i) { return day_text(calendar[py::int_(i)]); };
  py::str train(".loc[:'" + day(parts[0].end - 1) + "']");
  py::str valid(".loc['" + day(parts[1].begin) + "':'" + day(parts[1].end - 1) + "']");
  py::str test(t1.is_none() ? ".loc['" + day(parts[2].begin) + "':]"
                            : ".loc['" + day(parts[2].begin) + "':'" + day(parts[2].end - 1) + "']");
  check_split(mod, frame, train, test, h);
  return py::make_tuple(train, valid, test);
}

}  // namespace factorsearch
