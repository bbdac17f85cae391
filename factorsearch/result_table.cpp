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

void write_synced(const py::object &tmp, bool text, const std::function<void(py::handle)> &write,
                  const std::function<void()> &finish) {
  py::module_ os = py::module_::import("os");
  py::object open = py::module_::import("builtins").attr("open");
  try {
    py::object fh = text ? open(tmp, "w", "encoding"_a = "utf-8", "newline"_a = "")
                         : open(tmp, "wb");
    try {
      write(fh);
      fh.attr("flush")();
      os.attr("fsync")(fh.attr("fileno")());
    } catch (...) {
      fh.attr("close")();
      throw;
    }
    fh.attr("close")();
    finish();
  } catch (...) {
    py::error_scope keep;
    if (os.attr("path").attr("exists")(tmp).cast<bool>()) os.attr("unlink")(tmp);
    throw;
  }
}

void ResultTable::save(py::handle frame) const {
  const py::object tmp = py::str(tmp_);
  write_synced(
      tmp, true, [&](py::handle fh) { frame.attr("to_csv")(fh, "index"_a = false); },
      [&] { py::module_::import("os").attr("replace")(tmp, path_); });
}

}  // namespace factorsearch
