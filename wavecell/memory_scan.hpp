// The state-frequency memory recurrence over all T steps of a batch, forward and backward, over
// raw CPU buffers. No Python in here.
//
// Samples never interact, so each thread takes a range of rows and runs them through every
// step on its own, a small block of rows at a time: a block's float64 state matrices stay in
// cache from one step to the next instead of streaming through memory, and threads meet only
// once per call. Every gate, the recurrent product, the complex state update, the amplitude
// read-out and the hidden state of a row are computed in one pass.
//
// Layouts (row-major, contiguous); G = 4H + F, gate order [i | ste | fre | c | o]:
//   x_proj (T, n, G) float32   input projections of every step, biases included
//   U      (H, G) float32      recurrent weights
//   phase  (T, 2, F) float64   cos, then sin, of every step's phase per frequency
//   u_a    (F) float32, b_a (H) float32
//   state  (n, H, 2, F) float64 per step: real part then imaginary part of each hidden unit
#pragma once

#include <cstdint>

#include "common/interrupt.hpp"

namespace wavecell {

struct ScanShape {
  std::int64_t T = 0;  // steps
  std::int64_t n = 0;  // samples
  std::int64_t H = 0;  // hidden units
  std::int64_t F = 0;  // frequencies
  std::int64_t gates() const { return 4 * H + F; }
  std::int64_t state_size() const { return H * 2 * F; }  // per sample
  // The backward pass recomputes states from a checkpoint every `segment()` steps.
  std::int64_t segment() const;
  std::int64_t checkpoints() const;  // (T - 1) / segment()
};

struct ScanForward {
  const float* x_proj = nullptr;
  const float* U = nullptr;
  const double* phase = nullptr;
  const float* u_a = nullptr;
  const float* b_a = nullptr;
  float* h_last = nullptr;  // out (n, H)
  // Kept for the backward pass; all nullptr when no gradient is wanted.
  float* pre = nullptr;    // out (T, n, G) pre-activations
  float* h_all = nullptr;  // out (T, n, H) hidden states
  float* a_all = nullptr;  // out (T, n, H) tanh amplitudes
  // out (checkpoints(), n, H, 2, F): the state after steps K-1, 2K-1, ...
  double* checkpoint = nullptr;
  // Polled by the caller's thread between blocks of rows; when it stops, every thread leaves
  // at its next block and the outputs are incomplete (the caller raises instead of using them).
  alphaloom::StopToken* stop = nullptr;
};

struct ScanBackward {
  const float* U = nullptr;
  const double* phase = nullptr;
  const float* u_a = nullptr;
  const float* b_a = nullptr;
  const float* pre = nullptr;  // as kept by the forward pass
  const float* h_all = nullptr;
  const float* a_all = nullptr;
  const double* checkpoint = nullptr;
  const float* grad_h_last = nullptr;  // (n, H), or nullptr for zeros
  float* grad_x_proj = nullptr;        // out (T, n, G)
  float* grad_U = nullptr;             // out (H, G)
  float* grad_u_a = nullptr;           // out (F)
  float* grad_b_a = nullptr;           // out (H)
  alphaloom::StopToken* stop = nullptr;  // as in ScanForward
};

// Call with the GIL released: nothing here touches Python. `threads` is an upper bound; small
// batches run on fewer.
void scan_forward(const ScanShape& s, const ScanForward& io, int threads);
void scan_backward(const ScanShape& s, const ScanBackward& io, int threads);

}  // namespace wavecell
