// Chronological splits of a forecasting frame: selector texts for train / valid / test with the
// days whose labels would reach into the next split left out, and the check that a test period
// does not overlap the training dates plus the label horizon. Interpreter layer only.
#pragma once

#include <cstdint>

#include <pybind11/pybind11.h>

namespace factorsearch {

// factorsearch.split_dates: (train, valid, test) selector texts.
pybind11::object split_dates(pybind11::module_ mod, pybind11::handle frame,
                             pybind11::handle valid_start, pybind11::handle test_start,
                             pybind11::handle test_end, std::int64_t horizon);

// factorsearch.check_split: raises ValueError when a test date falls on a training date or
// within `horizon` dates after the last one.
void check_split(pybind11::module_ mod, pybind11::handle frame, pybind11::handle train,
                 pybind11::handle test, std::int64_t horizon);

}  // namespace factorsearch
