// Keeping a trained forecaster: one file holding what rebuilds it (the constructor's arguments,
// the network's weights, the fitted feature width and how the training frame was built), written
// atomically like the weight files, and read back without a banner. The weight files fit writes
// hold the weights alone; they stay as they are.
#pragma once

#include <string>

#include "common/libs.hpp"
#include "common/pyglue.hpp"
#include "common/settings.hpp"
#include "common/training_snapshot.hpp"
#include "common/weight_files.hpp"

namespace alphaloom {

// What one forecaster class keeps beyond its settings and weights.
struct SavedForm {
  const char *class_path;  // "wavecell.SFM": the file says which forecaster it holds
  const char *model_attr;  // the network's attribute
  const char *extra[2];    // further attributes fit sets (ADD's regime thresholds), or nullptr
};

inline constexpr const char *kSettingsAttr = "_settings";
inline constexpr const char *kFileMark = "alphaloom_forecaster";
inline constexpr long long kFileFormat = 1;

// Construction starts with the output switch and ends with the record a save needs, so every
// trainer gets `print`, `verbose`, `history` and its arguments the same way.
inline void begin_trainer_init(py::handle self, const Settings &settings) {
  self.attr("print") = libs().print;
  self.attr("verbose") = settings["verbose"];
}

inline void finish_trainer_init(py::handle self, const Settings &settings) {
  self.attr("history") = py::list();
  py::setattr(self, kSettingsAttr, settings.as_given());
}

namespace detail {

// Values torch.load reads back with weights_only=True: NumPy scalars become Python numbers, a
// torch.device its text, containers are converted item by item.
inline py::object plain(py::handle value) {
  Libs &L = libs();
  if (py::isinstance(value, L.np.attr("generic"))) return value.attr("item")();
  if (py::isinstance(value, L.torch.attr("device"))) return py::str(value);
  if (py::isinstance<py::dict>(value)) {
    py::dict out;
    for (auto kv : py::reinterpret_borrow<py::dict>(value)) out[kv.first] = plain(kv.second);
    return out;
  }
  if (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) {
    py::list out;
    for (py::handle v : value) out.append(plain(v));
    if (py::isinstance<py::tuple>(value)) return py::tuple(out);
    return out;
  }
  return py::reinterpret_borrow<py::object>(value);
}

// `with torch.random.fork_rng(devices=[]):` for a C++ scope: rebuilding a network draws initial
// weights that the saved ones replace, and must not move the caller's generator.
class ForkedRng {
 public:
  ForkedRng() : guard_(libs().torch.attr("random").attr("fork_rng")("devices"_a = py::list())) {
    guard_.attr("__enter__")();
  }
  ~ForkedRng() {
    try {
      guard_.attr("__exit__")(py::none(), py::none(), py::none());
    } catch (py::error_already_set &e) {
      e.discard_as_unraisable("restoring the random generator");
    }
  }
  ForkedRng(const ForkedRng &) = delete;
  ForkedRng &operator=(const ForkedRng &) = delete;

 private:
  py::object guard_;
};

inline std::string what_file_holds(py::handle payload) {
  Libs &L = libs();
  if (py::isinstance<py::dict>(payload)) {
    py::dict d = py::reinterpret_borrow<py::dict>(payload);
    bool tensors = py::len(d) > 0;
    for (auto kv : d) tensors = tensors && py::isinstance(kv.second, L.torch.attr("Tensor"));
    if (tensors)
      return "a state dictionary of " + std::to_string(py::len(d)) +
             " tensors (network weights alone, as fit writes them to its weight file)";
    py::list keys;
    for (auto kv : d) {
      if (py::len(keys) == 5) break;
      keys.append(kv.first);
    }
    return "a dict with keys " + py::repr(keys).cast<std::string>() +
           (py::len(d) > 5 ? " ..." : "");
  }
  return "a " + type_name(payload);
}

}  // namespace detail

// The arguments to rebuild with: those the constructor was given, a kept attribute's current
// value where the caller has changed it since.
inline py::dict saved_settings(py::handle self) {
  py::dict given = py::getattr(self, kSettingsAttr, py::dict());
  py::dict own = self.attr("__dict__");
  py::dict out;
  for (auto kv : given) {
    py::object value = py::reinterpret_borrow<py::object>(kv.second);
    if (own.contains(kv.first)) value = own[kv.first];
    out[kv.first] = detail::plain(value);
  }
  return out;
}

inline py::object save_model(py::handle self, const SavedForm &form, py::handle path) {
  py::dict state;
  for (auto kv : py::dict(self.attr(form.model_attr).attr("state_dict")()))
    state[kv.first] = kv.second.attr("detach")().attr("cpu")();
  py::dict extra;
  for (const char *name : form.extra)
    if (name && py::hasattr(self, name)) extra[name] = detail::plain(self.attr(name));
  py::dict payload(
      "mark"_a = kFileMark, "format"_a = kFileFormat, "class"_a = form.class_path,
      "settings"_a = saved_settings(self), "state"_a = state,
      "fitted"_a = py::bool_(py::getattr(self, "fitted", py::bool_(false))),
      "fit_width"_a = detail::plain(py::getattr(self, kFitWidthAttr, py::none())),
      "features"_a = detail::plain(py::getattr(self, kFitFeaturesAttr, py::none())),
      "extra"_a = extra);
  save_atomically(payload, path);
  return py::none();
}

inline py::object load_model(py::handle cls, const SavedForm &form, py::handle path,
                             py::handle gpu) {
  Libs &L = libs();
  const std::string shown = py::repr(path).cast<std::string>();
  py::object payload;
  try {
    payload = L.torch.attr("load")(path, "map_location"_a = "cpu", "weights_only"_a = true);
  } catch (py::error_already_set &e) {
    if (e.matches(PyExc_OSError)) throw;
    std::string msg = shown + " is not a model written by save(): torch.load cannot read it (" +
                      py::str(e.value()).cast<std::string>().substr(0, 200) + ")";
    py::raise_from(e, PyExc_ValueError, msg.c_str());
    throw py::error_already_set();
  }
  py::dict d = py::isinstance<py::dict>(payload) ? py::dict(payload) : py::dict();
  if (!d.contains("mark") || !py::str(kFileMark).equal(d["mark"]))
    raise(PyExc_ValueError, shown + " is not a model written by save(): it holds " +
                                detail::what_file_holds(payload));
  const std::string held = py::str(d["class"]);
  if (held != form.class_path)
    raise(PyExc_ValueError, shown + " holds a saved " + held + ", not a " + form.class_path +
                                "; load it with " + held + ".load");
  if (d["format"].cast<long long>() > kFileFormat)
    raise(PyExc_ValueError, shown + " was written in a newer file format (" +
                                py::str(d["format"]).cast<std::string>() +
                                ") than this version reads (" + std::to_string(kFileFormat) + ")");

  py::dict saved = d["settings"];
  py::dict args = saved.attr("copy")();
  args["verbose"] = py::bool_(false);  // no banner on the way back
  args["seed"] = py::none();           // nor a reseeded process
  if (!gpu.is_none()) {
    args["GPU"] = gpu;
  } else if (saved.contains("GPU") && PyUnicode_Check(saved["GPU"].ptr()) &&
             py::str(saved["GPU"]).cast<std::string>().rfind("cuda", 0) == 0 &&
             !L.torch.attr("cuda").attr("is_available")().cast<bool>()) {
    args["GPU"] = py::str("cpu");  // trained on a GPU, read where there is none
  }
  py::object self;
  {
    detail::ForkedRng keep_generator;
    self = cls(**args);
  }
  self.attr(form.model_attr).attr("load_state_dict")(d["state"]);
  for (const char *name : {"seed", "verbose"})
    if (saved.contains(name)) py::setattr(self, name, saved[name]);
  if (!gpu.is_none()) saved["GPU"] = gpu;
  py::setattr(self, kSettingsAttr, saved);
  self.attr("fitted") = d["fitted"];
  py::setattr(self, kFitWidthAttr, d["fit_width"]);
  py::setattr(self, kFitFeaturesAttr, d["features"]);
  for (auto kv : py::dict(d["extra"])) py::setattr(self, kv.first, kv.second);
  return self;
}

// Binds `save(path)` and the classmethod `load(path, GPU=None)` on a forecaster class.
// `form` must outlive the module (a namespace-scope constant).
inline void def_save_load(py::handle cls, const SavedForm &form) {
  const SavedForm *f = &form;
  def_property(cls, "features",
               "How the training frame was built when window_features built it (window, "
               "fields, label, scaling, extra); None otherwise.",
               [](py::object self) { return py::getattr(self, kFitFeaturesAttr, py::none()); });
  def_method(cls, "save", "save(self, path)",
             "Writes the settings, the network's weights, the fitted feature width and how the "
             "training frame was built to one file, atomically (a temporary file renamed over "
             "the old one); load(path) rebuilds the model.",
             [f](py::object self, py::object path) { return save_model(self, *f, path); },
             py::arg("path"));
  std::string text = sig_doc("load(cls, path, GPU=None)",
                             "The model save(path) wrote, rebuilt without printing anything: "
                             "predict gives the scores it gave before saving. GPU as in the "
                             "constructor; None keeps the saved setting (a saved CUDA device "
                             "reads onto the CPU where CUDA is absent).");
  py::options opts;
  opts.disable_function_signatures();
  py::cpp_function load(
      [f](py::object cls, py::object path, py::object gpu) { return load_model(cls, *f, path, gpu); },
      py::name("load"), py::doc(text.c_str()), py::arg("cls"), py::arg("path"),
      py::arg("GPU") = py::none());
  py::setattr(cls, "load", libs().builtins.attr("classmethod")(load));
}

}  // namespace alphaloom
