// What a fit leaves behind: the feature width it trained on (predict refuses any other), and the
// state it started from, put back when training ends without a usable result.
#pragma once

#include <string>

#include "common/libs.hpp"
#include "common/pyglue.hpp"

namespace alphaloom {

// The number of feature columns the last fit trained on, kept on the trainer; predict refuses
// any other width (a different T would be scored silently otherwise).
inline constexpr const char *kFitWidthAttr = "_fit_width";

inline void set_fit_width(py::handle self, long long width) {
  py::setattr(self, kFitWidthAttr, py::int_(width));
}

// How the training frame was built when window_features built it (its window, fields, label
// mode and scaling, from frame.attrs), kept so that a saved model says what it must be fed.
// None for a frame from anywhere else.
inline constexpr const char *kFitFeaturesAttr = "_fit_features";
inline constexpr const char *kFeatureAttrs[] = {"window", "fields", "label", "scaling", "extra"};

inline void set_fit_features(py::handle self, py::handle frame) {
  py::dict attrs = frame.attr("attrs");
  py::object kept = py::none();
  if (attrs.contains("window") && attrs.contains("fields")) {
    py::dict d;
    for (const char *key : kFeatureAttrs)
      if (attrs.contains(key)) d[key] = attrs[key];
    kept = d;
  }
  py::setattr(self, kFitFeaturesAttr, kept);
}

// The network's weights, the optimiser's state and the fitted width as they were when fit
// began, put back when training ends without a usable result (no finite validation score), so a
// bad run cannot leave NaN weights or NaN optimiser moments behind.
class TrainingSnapshot {
 public:
  // `self` is the trainer: its network `model_attr` and its `train_optimizer`.
  TrainingSnapshot(py::handle self, const char *model_attr)
      : self_(py::reinterpret_borrow<py::object>(self)),
        model_(self.attr(model_attr)),
        optimizer_(self.attr("train_optimizer")),
        width_(py::getattr(self, kFitWidthAttr, py::none())),
        features_(py::getattr(self, kFitFeaturesAttr, py::none())) {
    py::object deepcopy = libs().copy.attr("deepcopy");
    weights_ = deepcopy(model_.attr("state_dict")());
    optimizer_state_ = deepcopy(optimizer_.attr("state_dict")());
  }
  void restore() const {
    model_.attr("load_state_dict")(weights_);
    optimizer_.attr("load_state_dict")(optimizer_state_);
    py::setattr(self_, kFitWidthAttr, width_);
    py::setattr(self_, kFitFeaturesAttr, features_);
  }

 private:
  py::object self_, model_, optimizer_, width_, features_, weights_, optimizer_state_;
};

inline void require_fitted_width(py::handle self, long long width, const char *what) {
  if (!py::hasattr(self, kFitWidthAttr)) return;
  py::object fitted = self.attr(kFitWidthAttr);
  if (fitted.is_none()) return;
  const long long expected = fitted.cast<long long>();
  if (width != expected)
    raise(PyExc_ValueError, std::string(what) + " has " + std::to_string(width) +
                                " feature columns, but the model was fitted on " +
                                std::to_string(expected));
}

}  // namespace alphaloom
