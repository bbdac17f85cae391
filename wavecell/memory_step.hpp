// One recurrent step of the state-frequency memory cell over raw CPU buffers, forward and
// backward, with every gate, the complex state update, the amplitude read-out and the hidden
// state fused into one pass per (sample, hidden unit). No Python in here.
//
// Layouts (row-major, contiguous):
//   pre    (n, 4H+F) float32  pre-activations in the order [i | ste | fre | c | o]
//   state  (n, H, 2, F) float64  real part then imaginary part of each hidden unit's row
//   phase  (2, F) float64  cos then sin of this step's phase per frequency
//   u_a    (F) float32, b_a (H) float32
#pragma once

#include <cstdint>

namespace wavecell {

struct StepShape {
  std::int64_t n = 0;  // samples
  std::int64_t H = 0;  // hidden units
  std::int64_t F = 0;  // frequencies
  std::int64_t gates() const { return 4 * H + F; }
};

struct StepForward {
  const float *pre = nullptr;
  const double *state_prev = nullptr;  // nullptr: the zero state of the first step
  const double *phase = nullptr;
  const float *u_a = nullptr;
  const float *b_a = nullptr;
  double *state = nullptr;  // out
  float *h = nullptr;       // out (n, H), or nullptr when only the state is wanted
  float *a = nullptr;       // out (n, H): tanh amplitude for the backward pass, or nullptr
};

struct StepBackward {
  const float *pre = nullptr;
  const double *state_prev = nullptr;  // nullptr: first step
  const double *state = nullptr;
  const double *phase = nullptr;
  const float *u_a = nullptr;
  const float *a = nullptr;
  const float *grad_h = nullptr;         // nullptr: no gradient reached h
  const double *grad_state = nullptr;    // nullptr: no gradient reached the state
  float *grad_pre = nullptr;             // out (n, 4H+F)
  double *grad_state_prev = nullptr;     // out, or nullptr when not wanted
  double *grad_u_a = nullptr;            // accumulated into (F)
  double *grad_b_a = nullptr;            // accumulated into (H)
};

// `threads` > 1 splits the samples over that many threads when the step is large enough to
// pay for them. Call with the GIL released: nothing here touches Python.
void step_forward(const StepShape &s, const StepForward &io, int threads);
void step_backward(const StepShape &s, const StepBackward &io, int threads);

}  // namespace wavecell
