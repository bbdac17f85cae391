#include "factorsearch/result_table.hpp"

namespace factorsearch {
using namespace alphaloom;

ResultTable::ResultTable(const std::string &npy_path) {
  py::module_ os = py::module_::import("os");
  std::string stem = npy_path.size() > 4 && npy_path.ends_with(".npy")
                         ? npy_path.substr(0, npy_path.size() - 4)
                         : npy_path;
  path_ = stem + ".csv";
  py::object parts = os.attr("path").attr("split")(path_);
  tmp_ = py::str(os.attr("path").attr("join")(
                     parts[py::int_(0)],
                     format(".{}.{}.tmp", parts[py::int_(1)], os.attr("getpid")())))
             .cast<std::string>();
}

void ResultTable::save(py::handle frame) const {
  py::module_ os = py::module_::import("os");
  try {
    py::object fh = py::module_::import("builtins")
                        .attr("open")(tmp_, "w", "encoding"_a = "utf-8", "newline"_a = "");
    try {
      frame.attr("to_csv")(fh, "index"_a = false);
      fh.attr("flush")();
      os.attr("fsync")(fh.attr("fileno")());
    } catch (...) {
      fh.attr("close")();
      throw;
    }
    fh.attr("close")();
    os.attr("replace")(tmp_, path_);
  } catch (...) {
    py::error_scope keep;
    if (os.attr("path").attr("exists")(tmp_).cast<bool>()) os.attr("unlink")(tmp_);
    throw;
  }
}

}  // namespace factorsearch
