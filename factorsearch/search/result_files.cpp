#include "factorsearch/search/result_files.hpp"

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

void write_synced(const py::object &tmp, const std::string &target, bool text,
                  const std::function<void(py::handle)> &write, const std::function<void()> &finish) {
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
  } catch (py::error_already_set &e) {
    {
      py::error_scope keep;
      if (os.attr("path").attr("exists")(tmp).cast<bool>()) os.attr("unlink")(tmp);
    }
    if (!e.matches(PyExc_OSError)) throw;
    py::raise_from(e, e.type().ptr(),
                   ("cannot write " + target + ": " + py::str(e.value()).cast<std::string>() +
                    " (the file there, if any, is unchanged)").c_str());
    throw py::error_already_set();
  } catch (...) {
    py::error_scope keep;
    if (os.attr("path").attr("exists")(tmp).cast<bool>()) os.attr("unlink")(tmp);
    throw;
  }
}

void ResultTable::save(py::handle frame) const {
  const py::object tmp = py::str(tmp_);
  write_synced(
      tmp, path_, true, [&](py::handle fh) { frame.attr("to_csv")(fh, "index"_a = false); },
      [&] { py::module_::import("os").attr("replace")(tmp, path_); });
}

namespace {

std::string path_of(const std::string &dir, int run) {
  return dir + "/" + std::to_string(run) + ".npy";
}
}  // namespace

std::string result_directory(py::handle directory) {
  if (directory.is_none()) return "factors";
  return py::str(py::module_::import("os").attr("fspath")(directory)).cast<std::string>();
}

ResultFile::ResultFile(const std::string &directory) : dir_(directory) {
  py::module_ os = py::module_::import("os");
  os.attr("makedirs")(dir_, "exist_ok"_a = true);
  std::size_t taken = 0;
  for (int run = 0; run < 1000; ++run)
    if (os.attr("path").attr("exists")(path_of(dir_, run)).cast<bool>()) ++taken;
  if (taken == 1000)
    raise(PyExc_FileExistsError,
          dir_ + "/ holds a result file for every run number 0-999");
  py::object randint = py::module_::import("random").attr("randint");
  py::module_ np = py::module_::import("numpy");
  py::object empty = np.attr("empty")(py::make_tuple(0, 4), "dtype"_a = py::str("U1"));
  for (long tries = 0;; ++tries) {
    if (tries == 1000000)
      raise(PyExc_FileExistsError,
            "no free run number under " + dir_ + "/ after 1000000 draws");
    run_ = randint(0, 999).cast<int>();
    path_ = path_of(dir_, run_);
    if (claim(empty)) return;
  }
}

void ResultFile::save(py::handle rows) {
  // np.array(rows) turns every number into text again on each save, which grows with the number
  // of rows found; only the new rows are converted here. Joining the converted blocks gives the
  // same array: the text width is the widest of its parts, as np.array would choose.
  py::module_ np = py::module_::import("numpy");
  const std::size_t n = py::len(rows);
  if (!table_ || n < in_table_) {
    table_ = np.attr("array")(rows);
  } else if (n > in_table_) {
    py::object fresh = np.attr("array")(rows[py::slice(static_cast<py::ssize_t>(in_table_),
                                                        static_cast<py::ssize_t>(n), 1)]);
    table_ = np.attr("concatenate")(py::make_tuple(table_, fresh));
  }
  in_table_ = n;
  write_then(table_, [&](const py::object &tmp) {
    py::module_::import("os").attr("replace")(tmp, path_);
  });
}

void ResultFile::save_all(py::handle rows) {
  table_ = py::object();
  save(rows);
}

// Writes `array` in full to a private temporary file in factors/, then `finish(tmp)` puts it in
// place; the temporary file never outlives a failure.
template <typename Finish>
void ResultFile::write_then(const py::object &array, Finish &&finish) {
  py::module_ os = py::module_::import("os");
  py::module_ np = py::module_::import("numpy");
  py::object tmp = py::str(dir_ + "/." + std::to_string(run_) + ".npy." +
                           py::str(os.attr("getpid")()).cast<std::string>() + ".tmp");
  write_synced(
      tmp, path_, false, [&](py::handle fh) { np.attr("save")(fh, array); }, [&] { finish(tmp); });
}

// True when path_ was free and now holds the empty array.
bool ResultFile::claim(const py::object &empty) {
  py::module_ os = py::module_::import("os");
  bool free = true;
  write_then(empty, [&](const py::object &tmp) {
    // A hard link never replaces an existing name, so two runs cannot both take it.
    try {
      os.attr("link")(tmp, path_);
    } catch (py::error_already_set &e) {
      if (e.matches(PyExc_FileExistsError)) {
        free = false;
      } else if (e.matches(PyExc_OSError)) {  // no hard links on this file system
        free = !os.attr("path").attr("exists")(path_).cast<bool>();
        if (free) os.attr("replace")(tmp, path_);
      } else {
        throw;
      }
    }
    if (os.attr("path").attr("exists")(tmp).cast<bool>()) os.attr("unlink")(tmp);
  });
  return free;
}

}  // namespace factorsearch
