#include "dualstream/evaluation.hpp"

#include <string>

namespace dualstream {

namespace {
[[noreturn]] void pending(const char *name) {
  alphaloom::raise_not_implemented(std::string(name) +
                                   " is provided by the day-wise evaluation layer");
}
}  // namespace

py::object get_daily_inter(py::object, py::object, py::object) { pending("get_daily_inter"); }
py::object cal_ic_metrics(py::object, py::object, py::object) { pending("cal_ic_metrics"); }
py::object test_epoch(py::object, py::object, py::object, py::object) { pending("test_epoch"); }
py::object train_epoch(py::object, py::object, py::object, py::object) { pending("train_epoch"); }
py::object log_metrics(py::object, py::object, py::object) { pending("log_metrics"); }
py::object bootstrap_fit(py::object, py::object, py::object, py::object, py::object, py::object,
                         py::object) {
  pending("bootstrap_fit");
}
py::object gen_market_label(py::object, py::object, py::object) { pending("gen_market_label"); }
py::object fit_thresh(py::object, py::object) { pending("fit_thresh"); }
py::object fit(py::object, py::object, py::object, py::object) { pending("fit"); }
py::object predict(py::object, py::object) { pending("predict"); }

}  // namespace dualstream
