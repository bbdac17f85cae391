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
// Real layouts (what callers pass and get back) are the library's: weights (G, in) with gates
// [r | z | n] (GRU, G = 3H) or [i | f | g | o] (LSTM, G = 4H). The buffers kept for the backward
// pass pad every hidden vector to Hp = round_up(H, 16) floats so that each gate block starts on
// a vector boundary; padding lanes hold zeros.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

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

struct StackForward {
  const float* x = nullptr;     // encoder: (T, N, D)
  const float* h0 = nullptr;    // (L, N, H), nullptr for zeros
  const float* c0 = nullptr;    // LSTM: (L, N, H), nullptr for zeros
  const float* mask = nullptr;  // (L - 1, T, N, H) dropout multipliers of layer inputs, or nullptr
  float* h_last = nullptr;      // out (L, N, H)
  float* c_last = nullptr;      // out, LSTM (L, N, H)
  float* pred = nullptr;        // out, feedback (N, T, D)
  // Kept for the backward pass; all nullptr when no gradient is wanted.
  float* hs = nullptr;    // (L, T + 1, N, Hp): h of every step, the initial state first
  float* cs = nullptr;    // LSTM (L, T + 1, N, Hp)
  float* acts = nullptr;  // (L, T, N, Ap): GRU r, z, n, hidden n-part; LSTM i, f, g, o
};

struct StackBackward {
  const float* mask = nullptr;  // as given to the forward pass
  const float* hs = nullptr;
  const float* cs = nullptr;
  const float* acts = nullptr;
  const float* g_h_last = nullptr;  // (L, N, H) or nullptr
  const float* g_c_last = nullptr;  // (L, N, H) or nullptr
  const float* g_pred = nullptr;    // feedback (N, T, D) or nullptr
  float* g_x = nullptr;   // out (L, T, N, Gp): gradient of the input-side gate sums
  float* g_h = nullptr;   // out, GRU (L, T, N, Gp): of the hidden-side sums (LSTM: equal to g_x)
  float* g_p = nullptr;   // out, feedback (T, N, Dp): total gradient of each step's prediction
  float* g_h0 = nullptr;  // out (L, N, H)
  float* g_c0 = nullptr;  // out, LSTM (L, N, H)
};

// Polled between blocks of rows, from the calling thread only; true stops the work early (the
// outputs are then incomplete and must be discarded).
using StopCheck = std::function<bool()>;

// Vector code paths, best first; `isa_available` tells which this processor runs.
enum class Isa { avx512 = 0, avx2 = 1, base = 2 };
bool isa_available(Isa isa);
Isa best_isa();

// Call with the GIL released. `threads` is an upper bound; small batches run on fewer. Return
// false when `stop` asked to stop.
bool stack_forward(const StackShape& s, const StackWeights& w, const StackForward& io, int threads,
                   Isa isa, const StopCheck& stop);
bool stack_backward(const StackShape& s, const StackWeights& w, const StackBackward& io,
                    int threads, Isa isa, const StopCheck& stop);

}  // namespace dualstream
