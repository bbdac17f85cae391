#include "wavecell/network.hpp"

#include <pybind11/gil_safe_call_once.h>

#include <algorithm>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

#include "common/libs.hpp"
#include "common/signals.hpp"
#include "common/tensor_glue.hpp"
#include "wavecell/memory_scan.hpp"

namespace wavecell {
using alphaloom::as_i64;
using alphaloom::data_of;
using alphaloom::empty_f32;
using alphaloom::has_dtype;
using alphaloom::has_shape;
using alphaloom::libs;
using alphaloom::tensor_ops;
using alphaloom::TensorOps;
using alphaloom::raise;
using namespace pybind11::literals;

namespace {

// Tensor-library callables of this network beyond the shared ones, looked up once.
struct Ops {
  py::object addmm, matmul, cos, sin, tanh, hardsigmoid, parameter, xavier_uniform, orthogonal,
      tanh_module, hardsigmoid_module, linear;
};

Ops& ops() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<Ops> storage;
  return storage
      .call_once_and_store_result([] {
        py::module_ torch = libs().torch;
        py::object nn = torch.attr("nn");
        Ops o;
        o.addmm = torch.attr("addmm");
        o.matmul = torch.attr("matmul");
        o.cos = torch.attr("cos");
        o.sin = torch.attr("sin");
        o.tanh = torch.attr("tanh");
        o.hardsigmoid = nn.attr("functional").attr("hardsigmoid");
        o.parameter = nn.attr("Parameter");
        o.xavier_uniform = nn.attr("init").attr("xavier_uniform_");
        o.orthogonal = nn.attr("init").attr("orthogonal_");
        o.tanh_module = nn.attr("Tanh");
        o.hardsigmoid_module = nn.attr("Hardsigmoid");
        o.linear = nn.attr("Linear");
        return o;
      })
      .get_stored();
}

// The fused recurrence reads raw memory: anything that does not match the layout it expects is a
// programming error, reported before a single byte is touched.
py::object checked(py::object t, py::handle dtype, std::initializer_list<std::int64_t> shape,
                   const char* what) {
  if (!t.attr("is_cpu").cast<bool>() || !has_dtype(t, dtype))
    raise(PyExc_RuntimeError, std::string("memory scan: ") + what + " must be a CPU tensor of " +
                                  py::str(dtype).cast<std::string>());
  if (!has_shape(t, shape))
    raise(PyExc_RuntimeError, std::string("memory scan: ") + what + " has shape " +
                                  py::str(t.attr("shape")).cast<std::string>());
  return t.attr("contiguous")();
}

py::object new_param(py::object tensor) { return ops().parameter(tensor); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// The fused CPU recurrence (memory_scan.hpp). The float64 states dominate time and memory, so
// the forward pass keeps only every K-th one (K about sqrt(T)) and the backward pass recomputes
// the rest segment by segment; the recomputation is bitwise what the forward pass had.

namespace {

struct ScanInputs {
  py::object x_proj, U, phase, u_a, b_a;  // checked and contiguous
  ScanShape s;
};

ScanInputs check_scan(py::object x_proj, py::object U, py::object phase, py::object u_a,
                      py::object b_a) {
  TensorOps& o = tensor_ops();
  ScanInputs in;
  in.s.H = as_i64(b_a.attr("numel")());
  in.s.F = as_i64(u_a.attr("numel")());
  py::tuple shape(x_proj.attr("shape"));
  if (py::len(shape) != 3) raise(PyExc_RuntimeError, "memory scan: projections must be (T, N, G)");
  in.s.T = as_i64(shape[0]);
  in.s.n = as_i64(shape[1]);
  const std::int64_t G = in.s.gates();
  in.x_proj = checked(x_proj, o.float32, {in.s.T, in.s.n, G}, "projections");
  in.U = checked(U, o.float32, {in.s.H, G}, "recurrent weights");
  in.phase = checked(phase, o.float64, {in.s.T, 2, in.s.F}, "phase");
  in.u_a = checked(u_a.attr("reshape")(in.s.F), o.float32, {in.s.F}, "U_a");
  in.b_a = checked(b_a, o.float32, {in.s.H}, "b_a");
  return in;
}

ScanForward forward_io(const ScanInputs& in, py::object h_last) {
  ScanForward io;
  io.x_proj = data_of<const float>(in.x_proj);
  io.U = data_of<const float>(in.U);
  io.phase = data_of<const double>(in.phase);
  io.u_a = data_of<const float>(in.u_a);
  io.b_a = data_of<const float>(in.b_a);
  io.h_last = data_of<float>(h_last);
  return io;
}

}  // namespace

py::object memory_scan(py::object x_proj, py::object U, py::object phase, py::object u_a,
                       py::object b_a, py::object threads) {
  ScanInputs in = check_scan(x_proj, U, phase, u_a, b_a);
  py::object h_last = empty_f32({in.s.n, in.s.H});
  ScanForward io = forward_io(in, h_last);
  alphaloom::StopToken stop(&alphaloom::poll_signals);
  io.stop = &stop;
  int k = static_cast<int>(as_i64(threads));
  {
    py::gil_scoped_release nogil;
    scan_forward(in.s, io, k);
  }
  alphaloom::rethrow_if_interrupted();
  return h_last;
}

py::object memory_scan_forward(py::object ctx, py::object x_proj, py::object U, py::object phase,
                               py::object u_a, py::object b_a, py::object threads) {
  TensorOps& o = tensor_ops();
  ScanInputs in = check_scan(x_proj, U, phase, u_a, b_a);
  const ScanShape& s = in.s;
  py::object h_last = empty_f32({s.n, s.H});
  py::object pre = empty_f32({s.T, s.n, s.gates()});
  py::object h_all = empty_f32({s.T, s.n, s.H});
  py::object a_all = empty_f32({s.T, s.n, s.H});
  py::object checkpoint =
      o.empty(py::make_tuple(s.checkpoints(), s.n, s.H, 2, s.F), "dtype"_a = o.float64);
  ScanForward io = forward_io(in, h_last);
  io.pre = data_of<float>(pre);
  io.h_all = data_of<float>(h_all);
  io.a_all = data_of<float>(a_all);
  io.checkpoint = data_of<double>(checkpoint);
  alphaloom::StopToken stop(&alphaloom::poll_signals);
  io.stop = &stop;
  int k = static_cast<int>(as_i64(threads));
  {
    py::gil_scoped_release nogil;
    scan_forward(s, io, k);
  }
  alphaloom::rethrow_if_interrupted();
  ctx.attr("save_for_backward")(in.U, in.phase, in.u_a, in.b_a, pre, h_all, a_all, checkpoint);
  ctx.attr("threads") = threads;
  ctx.attr("u_a_shape") = u_a.attr("shape");
  return h_last;
}

py::tuple memory_scan_backward(py::object ctx, py::object grad_h) {
  TensorOps& o = tensor_ops();
  // Grad mode is on inside a backward exactly when create_graph was asked for. The kernel's
  // gradients carry no graph of their own, so a second derivative through them would come out
  // as None or silently incomplete: refuse instead.
  if (o.is_grad_enabled().cast<bool>())
    raise(PyExc_RuntimeError,
          "SFM_Model: the fused CPU recurrence is differentiable once only, but a graph of its "
          "gradient was requested (create_graph=True, e.g. for a second derivative); "
          "higher-order gradients of this network are not available");
  py::tuple saved(ctx.attr("saved_tensors"));
  py::object U = saved[0], phase = saved[1], u_a = saved[2], b_a = saved[3], pre = saved[4],
             h_all = saved[5], a_all = saved[6], checkpoint = saved[7];
  py::tuple needs(ctx.attr("needs_input_grad"));
  py::tuple pshape(pre.attr("shape"));
  ScanShape s;
  s.T = as_i64(pshape[0]);
  s.n = as_i64(pshape[1]);
  s.F = as_i64(u_a.attr("numel")());
  s.H = as_i64(b_a.attr("numel")());
  if (!grad_h.is_none())
    grad_h = checked(grad_h.attr("to")(o.float32), o.float32, {s.n, s.H}, "grad h");
  py::object g_x = empty_f32({s.T, s.n, s.gates()});
  py::object g_U = empty_f32({s.H, s.gates()});
  py::object g_u_a = empty_f32({s.F});
  py::object g_b_a = empty_f32({s.H});
  ScanBackward io;
  io.U = data_of<const float>(U);
  io.phase = data_of<const double>(phase);
  io.u_a = data_of<const float>(u_a);
  io.b_a = data_of<const float>(b_a);
  io.pre = data_of<const float>(pre);
  io.h_all = data_of<const float>(h_all);
  io.a_all = data_of<const float>(a_all);
  io.checkpoint = data_of<const double>(checkpoint);
  io.grad_h_last = grad_h.is_none() ? nullptr : data_of<const float>(grad_h);
  io.grad_x_proj = data_of<float>(g_x);
  io.grad_U = data_of<float>(g_U);
  io.grad_u_a = data_of<float>(g_u_a);
  io.grad_b_a = data_of<float>(g_b_a);
  alphaloom::StopToken stop(&alphaloom::poll_signals);
  io.stop = &stop;
  int k = static_cast<int>(as_i64(ctx.attr("threads")));
  {
    py::gil_scoped_release nogil;
    scan_backward(s, io, k);
  }
  alphaloom::rethrow_if_interrupted();
  py::object none = py::none();
  auto want = [&](int i) { return needs[i].cast<bool>(); };
  return py::make_tuple(want(0) ? g_x : none, want(1) ? g_U : none, none,
                        want(3) ? py::object(g_u_a.attr("reshape")(ctx.attr("u_a_shape"))) : none,
                        want(4) ? g_b_a : none, none);
}

// ---------------------------------------------------------------------------------------------
// SFM_Model

void sfm_model_init(py::handle cls, py::object self, py::object d_feat, py::object output_dim,
                    py::object freq_dim, py::object hidden_size, py::object dropout_W,
                    py::object dropout_U, py::object device) {
  Ops& o = ops();
  TensorOps& t = tensor_ops();
  alphaloom::super_of(cls, self).attr("__init__")();
  self.attr("input_dim") = d_feat;
  self.attr("output_dim") = output_dim;
  self.attr("freq_dim") = freq_dim;
  self.attr("hidden_dim") = hidden_size;
  self.attr("dropout_W") = dropout_W;
  self.attr("dropout_U") = dropout_U;
  self.attr("device") = device;

  py::object D = d_feat, H = hidden_size, F = freq_dim, O = output_dim;
  auto xavier = [&](py::object rows, py::object cols) {
    py::object w = t.empty(rows, cols);
    o.xavier_uniform(w);
    return new_param(w);
  };
  auto orthogonal = [&](py::object rows, py::object cols) {
    py::object w = t.empty(rows, cols);
    o.orthogonal(w);
    return new_param(w);
  };
  auto zeros = [&](py::object len) { return new_param(t.zeros(len)); };
  auto ones = [&](py::object len) { return new_param(t.ones(len)); };
  // Registration order is the order of parameters() and of the state dictionary.
  self.attr("W_i") = xavier(D, H);
  self.attr("U_i") = orthogonal(H, H);
  self.attr("b_i") = zeros(H);
  self.attr("W_ste") = xavier(D, H);
  self.attr("U_ste") = orthogonal(H, H);
  self.attr("b_ste") = ones(H);
  self.attr("W_fre") = xavier(D, F);
  self.attr("U_fre") = orthogonal(H, F);
  self.attr("b_fre") = ones(F);
  self.attr("W_c") = xavier(D, H);
  self.attr("U_c") = orthogonal(H, H);
  self.attr("b_c") = zeros(H);
  self.attr("W_o") = xavier(D, H);
  self.attr("U_o") = orthogonal(H, H);
  self.attr("b_o") = zeros(H);
  self.attr("U_a") = orthogonal(F, py::int_(1));
  self.attr("b_a") = zeros(H);
  self.attr("W_p") = xavier(H, O);
  self.attr("b_p") = zeros(O);

  self.attr("activation") = o.tanh_module();
  self.attr("inner_activation") = o.hardsigmoid_module();
  self.attr("fc_out") = o.linear(O, 1);
  self.attr("states") = py::list();
}

py::object sfm_model_init_states(py::object self, py::object /*x*/) {
  Ops& o = ops();
  TensorOps& t = tensor_ops();
  py::object H = self.attr("hidden_dim"), F = self.attr("freq_dim"), O = self.attr("output_dim");
  py::object device = self.attr("device");
  py::object reducer_f = t.zeros(H, F, "device"_a = device);
  py::object reducer_p = t.zeros(H, O, "device"_a = device);
  py::object init_state_h = t.zeros(H, "device"_a = device);
  py::object init_state_p = o.matmul(init_state_h, reducer_p);
  py::object init_state = libs().torch.attr("zeros_like")(init_state_h);
  py::object init_freq = o.matmul(init_state_h, reducer_f);
  init_state = init_state.attr("reshape")(-1, H, 1);
  init_freq = init_freq.attr("reshape")(-1, 1, F);
  py::object s_re = init_state * init_freq;
  py::object s_im = init_state * init_freq;
  py::object time = t.tensor(0, "device"_a = device);
  py::list states;
  for (py::handle v : {init_state_p, init_state_h, s_re, s_im, time}) states.append(v);
  for (int k = 0; k < 3; ++k) states.append(py::none());
  self.attr("states") = states;
  return py::none();
}

py::object sfm_model_get_constants(py::object self, py::object /*x*/) {
  TensorOps& o = tensor_ops();
  py::object device = self.attr("device");
  py::object F = self.attr("freq_dim");
  py::list b_u, b_w;
  for (int k = 0; k < 6; ++k) b_u.append(o.tensor(1.0, "device"_a = device));
  for (int k = 0; k < 7; ++k) b_w.append(o.tensor(1.0, "device"_a = device));
  py::list freq;
  std::int64_t f_count = as_i64(F);
  for (std::int64_t k = 0; k < f_count; ++k) freq.append(py::float_(static_cast<double>(k)) / F);
  py::object frequency = o.tensor(libs().np.attr("array")(freq), "device"_a = device);
  py::object states = self.attr("states");
  states.attr("__setitem__")(py::slice(5, PY_SSIZE_T_MAX, 1), py::make_tuple(b_u, b_w, frequency));
  return py::none();
}

namespace {

struct Params {
  py::object W_i, U_i, b_i, W_ste, U_ste, b_ste, W_fre, U_fre, b_fre, W_c, U_c, b_c, W_o, U_o, b_o,
      U_a, b_a, W_p, b_p;
};

Params params_of(py::handle self) {
  py::dict p = self.attr("__dict__")["_parameters"];
  return Params{p["W_i"],   p["U_i"],   p["b_i"], p["W_ste"], p["U_ste"], p["b_ste"], p["W_fre"],
                p["U_fre"], p["b_fre"], p["W_c"], p["U_c"],   p["b_c"],   p["W_o"],   p["U_o"],
                p["b_o"],   p["U_a"],   p["b_a"], p["W_p"],   p["b_p"]};
}

// The input rows (N, D * T) as (N, D, T). An empty batch keeps its step count when the row
// width allows one; otherwise the tensor library reports a bad row width.
py::object steps_of(py::handle input, py::handle D) {
  py::object n_obj = input.attr("shape")[py::int_(0)];
  const std::int64_t n = as_i64(n_obj);
  py::object x;
  if (n == 0 && as_i64(input.attr("dim")()) == 2 &&
      as_i64(input.attr("shape")[py::int_(1)]) % as_i64(D) == 0)
    x = input.attr("reshape")(0, D, as_i64(input.attr("shape")[py::int_(1)]) / as_i64(D));
  else
    x = input.attr("reshape")(n_obj, D, -1);
  if (as_i64(x.attr("shape")[py::int_(2)]) == 0)
    raise(PyExc_ValueError,
          "SFM_Model.forward needs at least one time step; the input rows have no columns");
  return x;
}

// Phases of every step at once (T, 2, F): 2*pi (a float32 scalar) times the step, times the
// float64 frequencies, rounded exactly as the per-step product rounds it.
py::object step_phases(std::int64_t T, py::handle frequency, py::handle device) {
  TensorOps& t = tensor_ops();
  Ops& o = ops();
  py::object two_pi = t.tensor(std::numbers::pi * 2.0);
  py::object times = t.arange(1, T + 1, "device"_a = device);
  py::object omega = (two_pi * times.attr("unsqueeze")(1)) * frequency;
  py::list phase_parts;
  phase_parts.append(o.cos(omega));
  phase_parts.append(o.sin(omega));
  return t.stack(phase_parts, 1);
}

// The five gates' weights side by side: one product for the input projections of all steps,
// one per step for the recurrent ones; the parameters stay separate, only the computation is
// joined.
struct JoinedGates {
  py::object x_proj;  // (T, N, G) input projections with their biases
  py::object U;       // (H, G) recurrent weights
};

JoinedGates joined_gates(const Params& p, py::handle x, py::handle D, std::int64_t G) {
  auto cat = [](std::initializer_list<py::handle> parts, int dim) {
    py::list l;
    for (py::handle h : parts) l.append(h);
    return tensor_ops().cat(l, dim);
  };
  py::object W = cat({p.W_i, p.W_ste, p.W_fre, p.W_c, p.W_o}, 1);
  py::object b = cat({p.b_i, p.b_ste, p.b_fre, p.b_c, p.b_o}, 0);
  const std::int64_t n = as_i64(x.attr("shape")[py::int_(0)]);
  const std::int64_t T = as_i64(x.attr("shape")[py::int_(2)]);
  py::object x_steps = x.attr("permute")(2, 0, 1).attr("reshape")(T * n, D);
  return JoinedGates{ops().addmm(b, x_steps, W).attr("view")(T, n, G),
                     cat({p.U_i, p.U_ste, p.U_fre, p.U_c, p.U_o}, 1)};
}

bool kernel_applies(const JoinedGates& j, const Params& p) {
  py::handle f32 = tensor_ops().float32;
  return j.x_proj.attr("is_cpu").cast<bool>() && has_dtype(j.x_proj, f32) &&
         has_dtype(j.U, f32) && has_dtype(p.U_a, f32) && has_dtype(p.b_a, f32);
}

// The last hidden state from the fused recurrence, recorded for autograd only when needed.
py::object kernel_hidden(py::handle scan_fn, const JoinedGates& j, const Params& p,
                         py::object phase) {
  py::object threads = tensor_ops().get_num_threads();
  if (alphaloom::needs_gradient({j.x_proj, j.U, p.U_a, p.b_a}))
    return scan_fn.attr("apply")(j.x_proj, j.U, phase, p.U_a, p.b_a, threads);
  return memory_scan(j.x_proj, j.U, phase, p.U_a, p.b_a, threads);
}

// The last hidden state from plain tensor operations, step by step: other devices and dtypes.
py::object stepwise_hidden(const JoinedGates& j, const Params& p, py::handle phase,
                           std::int64_t H, std::int64_t F) {
  Ops& o = ops();
  py::tuple x_proj_steps(j.x_proj.attr("unbind")(0));  // one backward node for all steps
  py::tuple phases(phase.attr("unbind")(0));
  const std::int64_t T = static_cast<std::int64_t>(py::len(x_proj_steps));
  py::object U_a_dtype = p.U_a.attr("dtype");
  // The zero initial hidden state still meets U, so U gets its (zero) gradient when T is 1.
  const std::int64_t n = as_i64(j.x_proj.attr("shape")[py::int_(1)]);
  py::object h = tensor_ops().zeros(n, H, "dtype"_a = j.x_proj.attr("dtype"),
                                    "device"_a = j.x_proj.attr("device"));
  py::object s_re = py::none(), s_im = py::none();
  for (std::int64_t t = 0; t < T; ++t) {
    py::object pre = o.addmm(x_proj_steps[t], h, j.U);
    py::object g = o.hardsigmoid(pre);
    py::object i = g.attr("narrow")(1, 0, H), ste = g.attr("narrow")(1, H, H),
               fre = g.attr("narrow")(1, 2 * H, F), gate_o = g.attr("narrow")(1, 3 * H + F, H);
    py::object c = (i * o.tanh(pre.attr("narrow")(1, 2 * H + F, H))).attr("unsqueeze")(2);
    py::object re = phases[t][py::int_(0)], im = phases[t][py::int_(1)];
    if (t == 0) {  // the initial state is zero
      s_re = c * re;
      s_im = c * im;
    } else {
      py::object f = ste.attr("unsqueeze")(2) * fre.attr("unsqueeze")(1);
      s_re = f * s_re + c * re;
      s_im = f * s_im + c * im;
    }
    py::object A = (s_re.attr("square")() + s_im.attr("square")()).attr("reshape")(-1, F);
    py::object A_a = o.matmul(A.attr("to")(U_a_dtype), p.U_a).attr("reshape")(-1, H);
    h = gate_o * o.tanh(A_a + p.b_a);
  }
  return h;
}

py::object forward_steps(py::handle scan_fn, bool use_kernel, py::object self, py::object input) {
  py::object D = self.attr("input_dim");
  const std::int64_t H = as_i64(self.attr("hidden_dim")), F = as_i64(self.attr("freq_dim"));
  py::object x = steps_of(input, D);  // (N, D, T)
  const std::int64_t T = as_i64(x.attr("shape")[py::int_(2)]);

  py::object x0 = x.attr("select")(2, 0);
  if (py::len(self.attr("states")) == 0) self.attr("init_states")(x0);
  self.attr("get_constants")(x0);
  py::list states = self.attr("states");
  py::object phase = step_phases(T, states[7], self.attr("device"));

  Params p = params_of(self);
  JoinedGates joined = joined_gates(p, x, D, 4 * H + F);
  py::object h = use_kernel && kernel_applies(joined, p)
                     ? kernel_hidden(scan_fn, joined, p, phase)
                     : stepwise_hidden(joined, p, phase, H, F);
  // Only the last step's output vector is read, so it is the only one computed.
  py::object out_p = ops().addmm(p.b_p, h, p.W_p);
  self.attr("states") = py::list();
  py::object fc_out = self.attr("__dict__")["_modules"]["fc_out"];
  return fc_out(out_p).attr("squeeze")(1);
}

}  // namespace

py::object sfm_model_forward(py::handle scan_fn, bool use_kernel, py::object self,
                             py::object input) {
  try {
    return forward_steps(scan_fn, use_kernel, self, input);
  } catch (...) {
    // A failed pass must not leave its partial state for the next call to start from.
    self.attr("states") = py::list();
    throw;
  }
}

}  // namespace wavecell
