// A stack of GRU or LSTM layers run over all T steps of a batch, forward and backward, over raw
// CPU buffers. No Python in here.
//
// Rows never interact, so each thread takes a range of rows and runs a small block of them
// through every step and every layer in one pass: the block's states stay in cache from one
// step to the next, and each weight panel read from cache serves the whole block. The gates are
// the cell's formulas exactly as the tensor library's cells write them (same gate order, same
// association), so results agree with it to float rounding.
//
// Two modes: an encoder reads its layer-0 input from `x`; a feedback stack (the decoder) feeds
// layer 0 with the previous step's prediction fc(h_top) (zeros at the first step) and emits
// every step's prediction.
//
// Layouts are the library's: weights (G, in) with gates [r | z | n] (GRU, G = 3H) or
// [i | f | g | o] (LSTM, G = 4H). Inside, every hidden vector is padded to Hp = round_up(H, 16)
// floats so that each gate block starts on a vector boundary; padding lanes hold zeros.
#pragma once

#include <cstdint>
#include <cstddef>
#include <memory>
#include <vector>

#include "common/interrupt.hpp"
#include "common/isa.hpp"

namespace dualstream {

constexpr std::int64_t kLane = 16;  // padding unit of the kept buffers, whatever the ISA
inline std::int64_t padded(std::int64_t n) { return (n + kLane - 1) / kLane * kLane; }

struct StackShape {
  std::int64_t T = 0;  // steps
  std::int64_t N = 0;  // rows
  std::int64_t L = 0;  // layers
  std::int64_t D = 0;  // layer-0 input width (also the prediction width of a feedback stack)
  std::int64_t H = 0;  // hidden width
  bool lstm = false;
  bool feedback = false;
  std::int64_t gates() const { return (lstm ? 4 : 3) * H; }
  std::int64_t Hp() const { return padded(H); }
  std::int64_t Dp() const { return padded(D); }
  std::int64_t Gp() const { return (lstm ? 4 : 3) * Hp(); }  // padded gate row
  std::int64_t Ap() const { return 4 * Hp(); }               // kept activations per row
};

// Per layer: w_ih (G, in_l), w_hh (G, H), b_ih (G), b_hh (G); in_0 = D, in_l = H.
struct StackWeights {
  std::vector<const float*> w_ih, w_hh, b_ih, b_hh;
  const float* fc_w = nullptr;  // feedback: (D, H)
  const float* fc_b = nullptr;  // feedback: (D)
};

struct StackInputs {
  const float* x = nullptr;     // encoder: (T, N, D)
  const float* h0 = nullptr;    // (L, N, H), nullptr for zeros
  const float* c0 = nullptr;    // LSTM: (L, N, H), nullptr for zeros
  const float* mask = nullptr;  // (L - 1, T, N, H) dropout multipliers of layer inputs, or nullptr
};

struct StackOutputs {
  float* h_last = nullptr;  // (L, N, H)
  float* c_last = nullptr;  // LSTM (L, N, H), or nullptr
  float* pred = nullptr;    // feedback (N, T, D)
};

struct StackGrads {
  const float* h_last = nullptr;  // in: (L, N, H) or nullptr for zeros
  const float* c_last = nullptr;  // in: LSTM (L, N, H) or nullptr
  const float* pred = nullptr;    // in: feedback (N, T, D) or nullptr
  float* x = nullptr;             // out, optional: encoder (T, N, D)
  float* h0 = nullptr;            // out, optional: (L, N, H)
  float* c0 = nullptr;            // out, optional: LSTM (L, N, H)
  // out, real layouts as StackWeights; required
  std::vector<float*> w_ih, w_hh, b_ih, b_hh;
  float* fc_w = nullptr;
  float* fc_b = nullptr;
};

// Every step's states and activations of all N rows, kept by a forward pass for the backward
// pass (which otherwise recomputes them block by block): hs, cs (L, T + 1, N, Hp), acts
// (L, T, N, Ap), preds (T, N, Dp); cs only for LSTM, preds only for a feedback stack.
struct StackKept {
  float* hs = nullptr;
  float* cs = nullptr;
  float* acts = nullptr;
  float* preds = nullptr;
};
std::size_t kept_floats(const StackShape& s);
StackKept carve_kept(const StackShape& s, float* base);  // base: kept_floats(s) floats

// Memory recycled between calls (fresh pages cost a fault each on first touch, which for these
// sizes takes as long as the arithmetic). The pointer returns its block to the pool when the
// last copy goes; the pool keeps at most about 1 GiB of free blocks.
std::shared_ptr<float> pooled_floats(std::size_t n);

// Vector code paths (common/isa.hpp): one copy of the passes per vector width.
using alphaloom::best_isa;
using alphaloom::Isa;
using alphaloom::isa_available;

// Call with the GIL released. `threads` is an upper bound; small batches run on fewer. `stop`
// (may be nullptr) is polled by the calling thread between blocks of rows; return false when it
// stopped the work (the outputs are then incomplete and must be discarded).
// `keep` (forward) fills, `kept` (backward) reads the buffers above; nullptr for none.
bool stack_forward(const StackShape& s, const StackWeights& w, const StackInputs& in,
                   const StackOutputs& out, const StackKept* keep, int threads, Isa isa,
                   alphaloom::StopToken* stop);
bool stack_backward(const StackShape& s, const StackWeights& w, const StackInputs& in,
                    const StackKept* kept, const StackGrads& g, int threads, Isa isa,
                    alphaloom::StopToken* stop);

}  // namespace dualstream
