#include "wavecell/memory_scan.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <thread>
#include <utility>
#include <vector>

#include "common/parallel.hpp"

// The extension is built for the baseline x86-64 instruction set; the loops below also get an
// AVX2/FMA variant, picked once at load time where the processor has it.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
#define WAVECELL_HOT __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define WAVECELL_HOT
#endif

namespace wavecell {
namespace {

// Piecewise-linear gate, written the way the tensor library's CPU kernel writes it, and its
// derivative (zero at the two kinks).
inline float hard_sigmoid(float x) {
  return std::min(std::max(x + 3.0f, 0.0f), 6.0f) * (1.0f / 6.0f);
}
inline float hard_sigmoid_slope(float x) { return (x > -3.0f && x < 3.0f) ? (1.0f / 6.0f) : 0.0f; }

// tanh as a clamped odd rational function: within 4e-7 of the exact value everywhere, and
// branch-free so a loop of it vectorises (the library call costs more than a whole state row).
inline float fast_tanh(float x) {
  const float clamp = 7.90531110763549805f;
  const float v = std::min(std::max(x, -clamp), clamp);
  const float v2 = v * v;
  float p = -2.76076847742355e-16f;
  p = p * v2 + 2.00018790482477e-13f;
  p = p * v2 - 8.60467152213735e-11f;
  p = p * v2 + 5.12229709037114e-08f;
  p = p * v2 + 1.48572235717979e-05f;
  p = p * v2 + 6.37261928875436e-04f;
  p = p * v2 + 4.89352455891786e-03f;
  float q = 1.19825839466702e-06f;
  q = q * v2 + 1.18534705686654e-04f;
  q = q * v2 + 2.26843463243900e-03f;
  q = q * v2 + 4.89352518554385e-03f;
  const float r = (v * p) / q;
  return std::fabs(x) < 0.0004f ? x : r;
}

// Sum of a[i] * b[i] in double over four interleaved partial sums: one running sum would make
// every addition wait for the previous one.
template <typename A, typename B>
inline double dot(const A* a, const B* b, std::int64_t n) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  std::int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += static_cast<double>(a[i]) * b[i];
    s1 += static_cast<double>(a[i + 1]) * b[i + 1];
    s2 += static_cast<double>(a[i + 2]) * b[i + 2];
    s3 += static_cast<double>(a[i + 3]) * b[i + 3];
  }
  for (; i < n; ++i) s0 += static_cast<double>(a[i]) * b[i];
  return (s0 + s1) + (s2 + s3);
}

// Row ranges on as many threads as the batch pays for, the caller's thread taking the first.
// Small batches stay on one thread: starting threads would cost more than the work.
template <typename Fn>
void parallel_rows(std::int64_t n, std::int64_t work_per_row, int threads, Fn&& fn) {
  constexpr std::int64_t kMinWorkPerThread = std::int64_t{1} << 21;  // about 5 ms of work
  const std::int64_t by_work = std::max<std::int64_t>(1, n * work_per_row / kMinWorkPerThread);
  const int k = static_cast<int>(std::clamp<std::int64_t>(std::min<std::int64_t>(threads, by_work),
                                                          1, std::max<std::int64_t>(n, 1)));
  alphaloom::split_ranges(n, k, fn, [] {});
}

// Between blocks: the caller's thread (range 0) polls, the others only read the outcome.
inline bool stop_now(alphaloom::StopToken* stop, int tid) {
  if (!stop) return false;
  return tid == 0 ? stop->poll() : stop->stopped();
}

struct Dims {
  std::int64_t H, F, G;
  const float *u_a, *b_a;
};

// Per-thread work rows, allocated once per call.
struct Scratch {
  std::vector<float> fre, amp, gate_i, gate_ste, cand, gate_o, a_pre, tc, g_a_pre, g_cand, g_ste;
  std::vector<double> g_re, g_im, g_forget, g_fre;
  Scratch(std::int64_t H, std::int64_t F)
      : fre(F),
        amp(F),
        gate_i(H),
        gate_ste(H),
        cand(H),
        gate_o(H),
        a_pre(H),
        tc(H),
        g_a_pre(H),
        g_cand(H),
        g_ste(H),
        g_re(F),
        g_im(F),
        g_forget(F),
        g_fre(F) {}
};

// One step of one sample: pre-activations -> state, tanh amplitude a and hidden state h.
// `state_prev` nullptr is the zero state of the first step.
WAVECELL_HOT void row_forward(const Dims& d, const float* pre, const double* state_prev,
                              const double* phase, double* state, float* a, float* h, Scratch& w) {
  const std::int64_t H = d.H, F = d.F;
  const double *re = phase, *im = phase + F;
  const float *p_i = pre, *p_ste = pre + H, *p_fre = pre + 2 * H, *p_c = pre + 2 * H + F,
              *p_o = pre + 3 * H + F;
  float *fre = w.fre.data(), *amp = w.amp.data(), *cand = w.cand.data(), *a_pre = w.a_pre.data();
  float *gate_ste = w.gate_ste.data(), *gate_o = w.gate_o.data();
  for (std::int64_t f = 0; f < F; ++f) fre[f] = hard_sigmoid(p_fre[f]);
  for (std::int64_t k = 0; k < H; ++k) {
    gate_ste[k] = hard_sigmoid(p_ste[k]);
    gate_o[k] = hard_sigmoid(p_o[k]);
    cand[k] = hard_sigmoid(p_i[k]) * fast_tanh(p_c[k]);
  }
  for (std::int64_t k = 0; k < H; ++k) {
    const float ste = gate_ste[k];
    const double c = cand[k];
    double *s_re = state + k * 2 * F, *s_im = s_re + F;
    if (state_prev) {
      const double *q_re = state_prev + k * 2 * F, *q_im = q_re + F;
      for (std::int64_t f = 0; f < F; ++f) {
        // the joint forget gate is a float32 product, as in the unfused network
        const double forget = static_cast<float>(ste * fre[f]);
        s_re[f] = forget * q_re[f] + c * re[f];
        s_im[f] = forget * q_im[f] + c * im[f];
      }
    } else {
      for (std::int64_t f = 0; f < F; ++f) {
        s_re[f] = c * re[f];
        s_im[f] = c * im[f];
      }
    }
    for (std::int64_t f = 0; f < F; ++f)
      amp[f] = static_cast<float>(s_re[f] * s_re[f] + s_im[f] * s_im[f]);
    a_pre[k] = static_cast<float>(dot(amp, d.u_a, F)) + d.b_a[k];
  }
  for (std::int64_t k = 0; k < H; ++k) {
    a[k] = fast_tanh(a_pre[k]);
    h[k] = gate_o[k] * a[k];
  }
}

// Gradients of one step of one sample. `g_state` nullptr: no gradient reached this state;
// `state_prev` nullptr: first step (then `g_state_prev` is not written).
WAVECELL_HOT void row_backward(const Dims& d, const float* pre, const double* state_prev,
                               const double* state, const double* phase, const float* a,
                               const float* g_h, const double* g_state, float* g_pre,
                               double* g_state_prev, double* acc_u, double* acc_b, Scratch& w) {
  const std::int64_t H = d.H, F = d.F;
  const double *re = phase, *im = phase + F;
  const float *p_i = pre, *p_ste = pre + H, *p_fre = pre + 2 * H, *p_c = pre + 2 * H + F,
              *p_o = pre + 3 * H + F;
  float *gp_i = g_pre, *gp_ste = g_pre + H, *gp_fre = g_pre + 2 * H, *gp_c = g_pre + 2 * H + F,
        *gp_o = g_pre + 3 * H + F;
  float *fre = w.fre.data(), *tc = w.tc.data(), *g_a_pre = w.g_a_pre.data();
  float *g_cand = w.g_cand.data(), *g_ste_row = w.g_ste.data();
  double *g_re = w.g_re.data(), *g_im = w.g_im.data(), *g_forget = w.g_forget.data(),
         *g_fre = w.g_fre.data();
  for (std::int64_t f = 0; f < F; ++f) {
    fre[f] = hard_sigmoid(p_fre[f]);
    g_fre[f] = 0.0;
  }
  for (std::int64_t k = 0; k < H; ++k) {
    tc[k] = fast_tanh(p_c[k]);
    g_a_pre[k] = (g_h[k] * hard_sigmoid(p_o[k])) * (1.0f - a[k] * a[k]);
    gp_o[k] = g_h[k] * a[k] * hard_sigmoid_slope(p_o[k]);
  }
  for (std::int64_t k = 0; k < H; ++k) {
    const float ste = hard_sigmoid(p_ste[k]);
    const float ga = g_a_pre[k];
    acc_b[k] += ga;
    const std::int64_t row = k * 2 * F;
    const double *s_re = state + row, *s_im = s_re + F;
    for (std::int64_t f = 0; f < F; ++f) {
      const float amp = static_cast<float>(s_re[f] * s_re[f] + s_im[f] * s_im[f]);
      acc_u[f] += static_cast<double>(ga) * amp;
      const double g_amp = static_cast<float>(ga * d.u_a[f]);
      g_re[f] = 2.0 * s_re[f] * g_amp;
      g_im[f] = 2.0 * s_im[f] * g_amp;
    }
    if (g_state) {
      const double *up_re = g_state + row, *up_im = up_re + F;
      for (std::int64_t f = 0; f < F; ++f) {
        g_re[f] += up_re[f];
        g_im[f] += up_im[f];
      }
    }
    double g_ste = 0.0;
    if (state_prev) {
      const double *q_re = state_prev + row, *q_im = q_re + F;
      double *d_re = g_state_prev + row, *d_im = d_re + F;
      for (std::int64_t f = 0; f < F; ++f) {
        const double forget = static_cast<float>(ste * fre[f]);
        d_re[f] = forget * g_re[f];
        d_im[f] = forget * g_im[f];
      }
      for (std::int64_t f = 0; f < F; ++f) {
        g_forget[f] = g_re[f] * q_re[f] + g_im[f] * q_im[f];
        g_fre[f] += g_forget[f] * ste;
      }
      g_ste = dot(g_forget, fre, F);
    }
    g_cand[k] = static_cast<float>(dot(g_re, re, F) + dot(g_im, im, F));
    g_ste_row[k] = static_cast<float>(g_ste);
  }
  for (std::int64_t k = 0; k < H; ++k) {
    gp_i[k] = g_cand[k] * tc[k] * hard_sigmoid_slope(p_i[k]);
    gp_c[k] = g_cand[k] * hard_sigmoid(p_i[k]) * (1.0f - tc[k] * tc[k]);
    gp_ste[k] = g_ste_row[k] * hard_sigmoid_slope(p_ste[k]);
  }
  for (std::int64_t f = 0; f < F; ++f)
    gp_fre[f] = static_cast<float>(g_fre[f]) * hard_sigmoid_slope(p_fre[f]);
}

// The three products with the recurrent weights, for a block of nb consecutive rows at once: each
// row of the weights is read once per block rather than once per sample.

// pre = x + h_prev . U (nb rows), the product summed before the projection is added, as a
// matrix product with an added term sums it.
WAVECELL_HOT void block_pre(const float* x, const float* h_prev, const float* U, std::int64_t nb,
                            std::int64_t H, std::int64_t G, float* pre, float* acc) {
  std::fill(acc, acc + nb * G, 0.0f);
  for (std::int64_t k = 0; k < H; ++k) {
    const float* u = U + k * G;
    for (std::int64_t r = 0; r < nb; ++r) {
      const float v = h_prev[r * H + k];
      float* a = acc + r * G;
      for (std::int64_t g = 0; g < G; ++g) a[g] += v * u[g];
    }
  }
  for (std::int64_t i = 0; i < nb * G; ++i) pre[i] = x[i] + acc[i];
}

// g_h = g_pre . U^T (nb rows), from the transposed weights UT (G, H).
WAVECELL_HOT void block_grad_hidden(const float* g_pre, const float* UT, std::int64_t nb,
                                    std::int64_t H, std::int64_t G, float* g_h) {
  std::fill(g_h, g_h + nb * H, 0.0f);
  for (std::int64_t g = 0; g < G; ++g) {
    const float* u = UT + g * H;
    for (std::int64_t r = 0; r < nb; ++r) {
      const float v = g_pre[r * G + g];
      float* out = g_h + r * H;
      for (std::int64_t k = 0; k < H; ++k) out[k] += v * u[k];
    }
  }
}

// gU (H, G) += sum over the nb rows of h_prev outer g_pre
WAVECELL_HOT void block_grad_recurrent(const float* h_prev, const float* g_pre, std::int64_t nb,
                                       std::int64_t H, std::int64_t G, float* gU) {
  for (std::int64_t k = 0; k < H; ++k) {
    float* row = gU + k * G;
    for (std::int64_t r = 0; r < nb; ++r) {
      const float v = h_prev[r * H + k];
      const float* gp = g_pre + r * G;
      for (std::int64_t g = 0; g < G; ++g) row[g] += v * gp[g];
    }
  }
}

// Rows per block: a block's two state generations should fit a core's private cache.
std::int64_t block_rows(const ScanShape& s) {
  const std::int64_t bytes = 2 * s.state_size() * static_cast<std::int64_t>(sizeof(double));
  return std::clamp<std::int64_t>((std::int64_t{1} << 18) / std::max<std::int64_t>(bytes, 1), 1,
                                  64);
}

}  // namespace

std::int64_t ScanShape::segment() const {
  std::int64_t k = 1;
  while (k * k < T) ++k;
  return k;
}

std::int64_t ScanShape::checkpoints() const { return T > 0 ? (T - 1) / segment() : 0; }

void scan_forward(const ScanShape& s, const ScanForward& io, int threads) {
  const std::int64_t T = s.T, N = s.n, H = s.H, F = s.F, G = s.gates(), S = s.state_size();
  const std::int64_t K = s.segment(), n_ckpt = s.checkpoints(), B = block_rows(s);
  const bool keep = io.pre != nullptr;
  const Dims d{H, F, G, io.u_a, io.b_a};
  if (T <= 0 || N <= 0) return;
  parallel_rows(N, T * H * F, threads, [&](std::int64_t begin, std::int64_t end, int tid) {
    Scratch w(H, F);
    std::vector<double> states(2 * B * S);
    std::vector<float> hidden(2 * B * H), pre_block(keep ? 0 : B * G), acc(B * G), a_row(H);
    for (std::int64_t b0 = begin; b0 < end; b0 += B) {
      if (stop_now(io.stop, tid)) return;
      const std::int64_t nb = std::min(B, end - b0);
      for (std::int64_t t = 0; t < T; ++t) {
        if (stop_now(io.stop, tid)) return;  // a block of long rows can take seconds
        const double* phase = io.phase + t * 2 * F;
        double* cur = states.data() + (t % 2) * B * S;
        const double* prev = states.data() + ((t + 1) % 2) * B * S;
        float* h_new = hidden.data() + (t % 2) * B * H;
        const float* h_old = hidden.data() + ((t + 1) % 2) * B * H;
        const bool to_ckpt = keep && (t + 1) % K == 0 && (t + 1) / K <= n_ckpt;
        const float* x = io.x_proj + (t * N + b0) * G;  // the block's rows are consecutive
        float* pre = keep ? io.pre + (t * N + b0) * G : pre_block.data();
        if (t == 0)
          std::copy(x, x + nb * G, pre);  // the initial hidden state is zero
        else
          block_pre(x, h_old, io.U, nb, H, G, pre, acc.data());
        for (std::int64_t k = 0; k < nb; ++k) {
          const std::int64_t at = t * N + b0 + k;
          float* a = keep ? io.a_all + at * H : a_row.data();
          row_forward(d, pre + k * G, t == 0 ? nullptr : prev + k * S, phase, cur + k * S, a,
                      h_new + k * H, w);
          if (keep) std::copy(h_new + k * H, h_new + (k + 1) * H, io.h_all + at * H);
          if (to_ckpt)
            std::copy(cur + k * S, cur + (k + 1) * S,
                      io.checkpoint + (((t + 1) / K - 1) * N + b0 + k) * S);
        }
      }
      const float* h_fin = hidden.data() + ((T - 1) % 2) * B * H;
      std::copy(h_fin, h_fin + nb * H, io.h_last + b0 * H);
    }
  });
}

void scan_backward(const ScanShape& s, const ScanBackward& io, int threads) {
  const std::int64_t T = s.T, N = s.n, H = s.H, F = s.F, G = s.gates(), S = s.state_size();
  const std::int64_t K = s.segment(), B = block_rows(s), n_seg = (T + K - 1) / K;
  const std::int64_t seg_len = std::min(K, T);
  const Dims d{H, F, G, io.u_a, io.b_a};
  const int k_threads = std::max(threads, 1);
  std::vector<float> UT(G * H);
  for (std::int64_t k = 0; k < H; ++k)
    for (std::int64_t g = 0; g < G; ++g) UT[g * H + k] = io.U[k * G + g];
  // Per-thread sums of the shared-parameter gradients, in double, reduced at the end.
  std::vector<std::vector<double>> sum_U(k_threads), sum_u(k_threads), sum_b(k_threads);
  if (T > 0 && N > 0)
    parallel_rows(N, T * H * F, k_threads, [&](std::int64_t begin, std::int64_t end, int tid) {
      Scratch w(H, F);
      std::vector<double> segment(seg_len * B * S), g_states(2 * B * S);
      std::vector<float> g_hidden(2 * B * H), g_U(H * G), a_row(H), h_row(H);
      std::vector<double>&acc_U = sum_U[tid], &acc_u = sum_u[tid], &acc_b = sum_b[tid];
      acc_U.assign(H * G, 0.0);
      acc_u.assign(F, 0.0);
      acc_b.assign(H, 0.0);
      for (std::int64_t b0 = begin; b0 < end; b0 += B) {
        if (stop_now(io.stop, tid)) return;
        const std::int64_t nb = std::min(B, end - b0);
        float* g_last = g_hidden.data() + ((T - 1) % 2) * B * H;
        if (io.grad_h_last)
          std::copy(io.grad_h_last + b0 * H, io.grad_h_last + (b0 + nb) * H, g_last);
        else
          std::fill(g_last, g_last + nb * H, 0.0f);
        bool have_g_state = false;  // nothing downstream reads the last state
        for (std::int64_t j = n_seg - 1; j >= 0; --j) {
          if (stop_now(io.stop, tid)) return;
          const std::int64_t t0 = j * K, t1 = std::min(T, t0 + K);
          auto entry = [&](std::int64_t k) -> const double* {
            return j == 0 ? nullptr : io.checkpoint + ((j - 1) * N + b0 + k) * S;
          };
          auto seg = [&](std::int64_t t, std::int64_t k) {
            return segment.data() + ((t - t0) * B + k) * S;
          };
          // Recompute the segment's states from its entry state; bitwise what the forward had.
          for (std::int64_t t = t0; t < t1; ++t)
            for (std::int64_t k = 0; k < nb; ++k)
              row_forward(d, io.pre + (t * N + b0 + k) * G, t == t0 ? entry(k) : seg(t - 1, k),
                          io.phase + t * 2 * F, seg(t, k), a_row.data(), h_row.data(), w);
          std::fill(g_U.begin(), g_U.end(), 0.0f);
          for (std::int64_t t = t1 - 1; t >= t0; --t) {
            if (stop_now(io.stop, tid)) return;
            const float* g_h = g_hidden.data() + (t % 2) * B * H;
            float* g_h_prev = g_hidden.data() + ((t + 1) % 2) * B * H;
            const double* g_state =
                have_g_state ? g_states.data() + ((t + 1) % 2) * B * S : nullptr;
            double* g_state_prev = g_states.data() + (t % 2) * B * S;
            for (std::int64_t k = 0; k < nb; ++k) {
              const std::int64_t at = t * N + b0 + k;
              const double* prev = t == t0 ? entry(k) : seg(t - 1, k);
              float* g_pre = io.grad_x_proj + at * G;
              row_backward(d, io.pre + at * G, prev, seg(t, k), io.phase + t * 2 * F,
                           io.a_all + at * H, g_h + k * H, g_state ? g_state + k * S : nullptr,
                           g_pre, prev ? g_state_prev + k * S : nullptr, acc_u.data(), acc_b.data(),
                           w);
            }
            if (t > 0) {
              const float* g_pre = io.grad_x_proj + (t * N + b0) * G;
              block_grad_hidden(g_pre, UT.data(), nb, H, G, g_h_prev);
              block_grad_recurrent(io.h_all + ((t - 1) * N + b0) * H, g_pre, nb, H, G, g_U.data());
            }
            have_g_state = t > 0;
          }
          for (std::int64_t i = 0; i < H * G; ++i) acc_U[i] += g_U[i];
        }
      }
    });
  for (std::int64_t i = 0; i < H * G; ++i) {
    double v = 0.0;
    for (auto& part : sum_U)
      if (!part.empty()) v += part[i];
    io.grad_U[i] = static_cast<float>(v);
  }
  for (std::int64_t f = 0; f < F; ++f) {
    double v = 0.0;
    for (auto& part : sum_u)
      if (!part.empty()) v += part[f];
    io.grad_u_a[f] = static_cast<float>(v);
  }
  for (std::int64_t k = 0; k < H; ++k) {
    double v = 0.0;
    for (auto& part : sum_b)
      if (!part.empty()) v += part[k];
    io.grad_b_a[k] = static_cast<float>(v);
  }
}

}  // namespace wavecell
