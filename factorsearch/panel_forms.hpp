// The panel forms of the walk's nodes (NumPy ufuncs over whole panels, native kernels over
// column blocks with the GIL released) and the thread cap those kernels obey.
#pragma once

#include "factorsearch/tree_walk.hpp"

namespace factorsearch {

// Caps the threads a native kernel may use in this process (0: one per usable core). A process
// pool's workers share the cores: each taking all of them only adds switching.
void cap_kernel_threads(int threads);

// The value as the F-ordered float64 dates x stocks factor panel.
py::array_t<double, py::array::f_style> as_panel(const Value &v, Walk &walk, const Market &market);

}  // namespace factorsearch
