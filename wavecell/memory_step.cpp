#include "wavecell/memory_step.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <thread>
#include <vector>

namespace wavecell {
namespace {

// Piecewise-linear gate, written the way the tensor library's CPU kernel writes it, and its
// derivative (zero at the two kinks).
inline float hard_sigmoid(float x) { return std::min(std::max(x + 3.0f, 0.0f), 6.0f) * (1.0f / 6.0f); }
inline float hard_sigmoid_slope(float x) { return (x > -3.0f && x < 3.0f) ? (1.0f / 6.0f) : 0.0f; }

// Splits [0, n) into contiguous ranges, one per thread; the caller's thread takes the first.
// Small steps stay on one thread: starting threads would cost more than the work.
template <typename Fn>
void parallel_rows(std::int64_t n, std::int64_t work_per_row, int threads, Fn &&fn) {
  constexpr std::int64_t kMinWorkPerThread = 1 << 16;
  std::int64_t by_work = std::max<std::int64_t>(1, (n * work_per_row) / kMinWorkPerThread);
  int k = static_cast<int>(std::clamp<std::int64_t>(std::min<std::int64_t>(threads, by_work), 1, std::max<std::int64_t>(n, 1)));
  if (k <= 1) {
    fn(0, n, 0);
    return;
  }
  std::vector<std::thread> pool;
  std::vector<std::exception_ptr> errors(k);
  auto range = [n, k](int t) { return std::pair<std::int64_t, std::int64_t>{n * t / k, n * (t + 1) / k}; };
  pool.reserve(k - 1);
  for (int t = 1; t < k; ++t)
    pool.emplace_back([&, t] {
      try {
        auto [b, e] = range(t);
        fn(b, e, t);
      } catch (...) {
        errors[t] = std::current_exception();
      }
    });
  try {
    auto [b, e] = range(0);
    fn(b, e, 0);
  } catch (...) {
    errors[0] = std::current_exception();
  }
  for (auto &th : pool) th.join();
  for (auto &err : errors)
    if (err) std::rethrow_exception(err);
}

}  // namespace

void step_forward(const StepShape &s, const StepForward &io, int threads) {
  const std::int64_t H = s.H, F = s.F, G = s.gates();
  const double *re = io.phase, *im = io.phase + F;
  parallel_rows(s.n, H * F, threads, [&](std::int64_t begin, std::int64_t end, int) {
    std::vector<float> fre(F), amp(F);
    for (std::int64_t n = begin; n < end; ++n) {
      const float *p = io.pre + n * G;
      const float *p_i = p, *p_ste = p + H, *p_fre = p + 2 * H, *p_c = p + 2 * H + F,
                  *p_o = p + 3 * H + F;
      for (std::int64_t f = 0; f < F; ++f) fre[f] = hard_sigmoid(p_fre[f]);
      for (std::int64_t h = 0; h < H; ++h) {
        const float i = hard_sigmoid(p_i[h]);
        const float ste = hard_sigmoid(p_ste[h]);
        const float c = i * std::tanh(p_c[h]);
        const float o = hard_sigmoid(p_o[h]);
        const double cd = c;
        double *s_re = io.state + (n * H + h) * 2 * F, *s_im = s_re + F;
        if (io.state_prev) {
          const double *q_re = io.state_prev + (n * H + h) * 2 * F, *q_im = q_re + F;
          for (std::int64_t f = 0; f < F; ++f) {
            // the joint forget gate is a float32 product, as in the unfused network
            const double forget = static_cast<float>(ste * fre[f]);
            s_re[f] = forget * q_re[f] + cd * re[f];
            s_im[f] = forget * q_im[f] + cd * im[f];
          }
        } else {
          for (std::int64_t f = 0; f < F; ++f) {
            s_re[f] = cd * re[f];
            s_im[f] = cd * im[f];
          }
        }
        for (std::int64_t f = 0; f < F; ++f)
          amp[f] = static_cast<float>(s_re[f] * s_re[f] + s_im[f] * s_im[f]);
        double acc = 0.0;
        for (std::int64_t f = 0; f < F; ++f) acc += static_cast<double>(amp[f]) * io.u_a[f];
        const float a = std::tanh(static_cast<float>(acc) + io.b_a[h]);
        if (io.a) io.a[n * H + h] = a;
        if (io.h) io.h[n * H + h] = o * a;
      }
    }
  });
}

void step_backward(const StepShape &s, const StepBackward &io, int threads) {
  const std::int64_t H = s.H, F = s.F, G = s.gates();
  const double *re = io.phase, *im = io.phase + F;
  const int k = std::max(threads, 1);
  // Per-thread partial sums of the two parameter gradients, reduced at the end.
  std::vector<std::vector<double>> part_u(k, std::vector<double>(F, 0.0));
  std::vector<std::vector<double>> part_b(k, std::vector<double>(H, 0.0));
  parallel_rows(s.n, H * F, k, [&](std::int64_t begin, std::int64_t end, int t) {
    std::vector<float> fre(F);
    std::vector<double> g_re(F), g_im(F), g_forget(F), g_fre(F);
    double *acc_u = part_u[t].data(), *acc_b = part_b[t].data();
    for (std::int64_t n = begin; n < end; ++n) {
      const float *p = io.pre + n * G;
      const float *p_i = p, *p_ste = p + H, *p_fre = p + 2 * H, *p_c = p + 2 * H + F,
                  *p_o = p + 3 * H + F;
      float *gp = io.grad_pre + n * G;
      float *gp_i = gp, *gp_ste = gp + H, *gp_fre = gp + 2 * H, *gp_c = gp + 2 * H + F,
            *gp_o = gp + 3 * H + F;
      for (std::int64_t f = 0; f < F; ++f) {
        fre[f] = hard_sigmoid(p_fre[f]);
        g_fre[f] = 0.0;
      }
      for (std::int64_t h = 0; h < H; ++h) {
        const float i = hard_sigmoid(p_i[h]);
        const float ste = hard_sigmoid(p_ste[h]);
        const float tc = std::tanh(p_c[h]);
        const float o = hard_sigmoid(p_o[h]);
        const float a = io.a[n * H + h];
        const float gh = io.grad_h ? io.grad_h[n * H + h] : 0.0f;
        const float g_a_pre = (gh * o) * (1.0f - a * a);
        acc_b[h] += g_a_pre;

        const std::int64_t row = (n * H + h) * 2 * F;
        const double *s_re = io.state + row, *s_im = s_re + F;
        for (std::int64_t f = 0; f < F; ++f) {
          const float amp = static_cast<float>(s_re[f] * s_re[f] + s_im[f] * s_im[f]);
          acc_u[f] += static_cast<double>(g_a_pre) * amp;
          const double g_amp = static_cast<float>(g_a_pre * io.u_a[f]);
          const double up_re = io.grad_state ? io.grad_state[row + f] : 0.0;
          const double up_im = io.grad_state ? io.grad_state[row + F + f] : 0.0;
          g_re[f] = up_re + 2.0 * s_re[f] * g_amp;
          g_im[f] = up_im + 2.0 * s_im[f] * g_amp;
        }
        double g_ste = 0.0;
        if (io.state_prev) {
          const double *q_re = io.state_prev + row, *q_im = q_re + F;
          if (io.grad_state_prev) {
            double *d_re = io.grad_state_prev + row, *d_im = d_re + F;
            for (std::int64_t f = 0; f < F; ++f) {
              const double forget = static_cast<float>(ste * fre[f]);
              d_re[f] = forget * g_re[f];
              d_im[f] = forget * g_im[f];
            }
          }
          for (std::int64_t f = 0; f < F; ++f) g_forget[f] = g_re[f] * q_re[f] + g_im[f] * q_im[f];
          for (std::int64_t f = 0; f < F; ++f) {
            g_ste += g_forget[f] * fre[f];
            g_fre[f] += g_forget[f] * ste;
          }
        }
        double g_c = 0.0;
        for (std::int64_t f = 0; f < F; ++f) g_c += g_re[f] * re[f] + g_im[f] * im[f];
        const float gc = static_cast<float>(g_c);
        gp_i[h] = gc * tc * hard_sigmoid_slope(p_i[h]);
        gp_c[h] = gc * i * (1.0f - tc * tc);
        gp_ste[h] = static_cast<float>(g_ste) * hard_sigmoid_slope(p_ste[h]);
        gp_o[h] = gh * a * hard_sigmoid_slope(p_o[h]);
      }
      for (std::int64_t f = 0; f < F; ++f)
        gp_fre[f] = static_cast<float>(g_fre[f]) * hard_sigmoid_slope(p_fre[f]);
    }
  });
  for (int t = 0; t < k; ++t) {
    for (std::int64_t f = 0; f < F; ++f) io.grad_u_a[f] += part_u[t][f];
    for (std::int64_t h = 0; h < H; ++h) io.grad_b_a[h] += part_b[t][h];
  }
}

}  // namespace wavecell
