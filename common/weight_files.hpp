// Weight files kept sound when something goes wrong: replaced atomically, and the save location
// probed before training so that a bad path is reported before any epoch runs.
#pragma once

#include <string>
#include <utility>

#include "common/libs.hpp"
#include "common/pyglue.hpp"

namespace alphaloom {

namespace detail {

inline py::module_ os_module() { return py::module_::import("os"); }

// Where `filename` really lives: a symbolic link keeps pointing at the file it names.
inline py::object resolved_path(py::handle filename) {
  py::object path = os_module().attr("path");
  return path.attr("abspath")(path.attr("realpath")(os_module().attr("fspath")(filename)));
}

// A new, exclusively created file next to `target` (same directory, so the final rename never
// crosses file systems). Created like any other file, so the umask applies as it would to a
// direct write.
inline std::pair<py::object, py::object> open_beside(py::handle target) {
  py::module_ os = os_module();
  py::object path = os.attr("path");
  py::object dir = path.attr("dirname")(target);
  std::string base = py::str(path.attr("basename")(target));
  for (int attempt = 0;; ++attempt) {
    std::string tag = py::str(os.attr("urandom")(6).attr("hex")());
    std::string name = "." + base + "." + tag + ".tmp";
    py::object tmp = path.attr("join")(dir, name);
    try {
      return {tmp, py::module_::import("builtins").attr("open")(tmp, "xb")};
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_FileExistsError) || attempt >= 16) throw;
    }
  }
}

// Cleanup on a path that is already failing: nothing here may replace the original error.
inline void discard(py::handle file, py::handle tmp) {
  try {
    file.attr("close")();
  } catch (py::error_already_set &) {
  }
  try {
    os_module().attr("unlink")(tmp);
  } catch (py::error_already_set &) {
  }
}

}  // namespace detail

// fit calls this before its first epoch: a directory that cannot take the weight file is reported
// at once, not after every epoch has trained. The probe file is removed again.
inline void require_writable_target(const char *filename) {
  py::object where = py::str(filename);
  try {
    py::object target = detail::resolved_path(where);  // fails if the directory is gone
    where = target;
    if (detail::os_module().attr("path").attr("isdir")(target).cast<bool>())
      raise(PyExc_IsADirectoryError, "a directory of that name is in the way");
    auto [tmp, file] = detail::open_beside(target);
    detail::discard(file, tmp);
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_OSError)) throw;
    std::string msg = "cannot write the weight file " + py::repr(where).cast<std::string>() +
                      " (" + py::str(e.value()).cast<std::string>() +
                      "); fit checks this before training so that no epoch is wasted";
    py::raise_from(e, e.type().ptr(), msg.c_str());
    throw py::error_already_set();
  }
}

// `write(file)` into a temporary file beside the target (a binary file object), flushed to disk,
// then renamed over it: readers see the old file or the new one, never a partial one, and a write
// that fails (disk full, Ctrl-C, an error in `write`) leaves the old file as it was and no
// temporary file. `filename` is text or a path-like object.
template <class Write>
void write_atomically(py::handle filename, Write &&write) {
  py::module_ os = detail::os_module();
  py::object target = detail::resolved_path(filename);
  auto [tmp, file] = detail::open_beside(target);
  try {
    // An existing file keeps its permission bits, as it would when overwritten in place.
    try {
      py::object st_mode = os.attr("stat")(target).attr("st_mode");
      py::object mode = py::module_::import("stat").attr("S_IMODE")(st_mode);
      os.attr("chmod")(tmp, mode);
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_OSError)) throw;
    }
    write(py::handle(file));
    file.attr("flush")();
    os.attr("fsync")(file.attr("fileno")());
    file.attr("close")();
    os.attr("replace")(tmp, target);
  } catch (...) {
    detail::discard(file, tmp);
    throw;
  }
  // Make the rename itself durable where directories can be synced; elsewhere it is enough.
  try {
    py::object fd = os.attr("open")(os.attr("path").attr("dirname")(target), os.attr("O_RDONLY"));
    try {
      os.attr("fsync")(fd);
    } catch (py::error_already_set &) {
    }
    os.attr("close")(fd);
  } catch (py::error_already_set &) {
  }
}

// torch.save, written atomically; torch.save is looked up per call so that a caller's
// replacement of it is honoured.
inline void save_atomically(py::handle obj, py::handle filename) {
  write_atomically(filename, [&](py::handle file) { libs().torch.attr("save")(obj, file); });
}

inline void save_atomically(py::handle obj, const char *filename) {
  save_atomically(obj, py::str(filename));
}

}  // namespace alphaloom
