#include "dualstream/fused.hpp"

#include <pybind11/gil_safe_call_once.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/libs.hpp"
#include "common/signals.hpp"
#include "common/tensor_glue.hpp"
#include "dualstream/recurrence.hpp"

namespace dualstream {
using alphaloom::as_i64;
using alphaloom::data_of;
using alphaloom::empty_f32;
using alphaloom::has_dtype;
using alphaloom::has_shape;
using alphaloom::libs;
using alphaloom::tensor_ops;
using alphaloom::truthy;
using alphaloom::zeros_f32;
using namespace pybind11::literals;

namespace {

// The library's recurrent and linear classes, and what says whether a call may be replaced.
struct Ops {
  py::object gru, lstm, linear, hooks_module, tracing_state, autocast_enabled;
};

Ops& ops() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<Ops> storage;
  return storage
      .call_once_and_store_result([] {
        py::module_ torch = libs().torch;
        Ops o;
        o.gru = torch.attr("nn").attr("GRU");
        o.lstm = torch.attr("nn").attr("LSTM");
        o.linear = torch.attr("nn").attr("Linear");
        o.hooks_module = py::module_::import("torch.nn.modules.module");
        o.tracing_state = py::getattr(torch.attr("_C"), "_get_tracing_state", py::none());
        o.autocast_enabled = py::getattr(torch, "is_autocast_enabled", py::none());
        return o;
      })
      .get_stored();
}

bool f32_cpu(py::handle t) {
  return !t.is_none() && truthy(t.attr("is_cpu")) && has_dtype(t, tensor_ops().float32);
}

py::object contiguous(py::handle t) {
  return t.is_none() ? py::none() : py::object(t.attr("contiguous")());
}

// A recurrent module the kernels can run in its place, and its parameters layer by layer.
struct Stack {
  bool lstm = false;
  std::int64_t L = 0, in = 0, H = 0;
  double dropout = 0.0;
  bool training = false;
  std::vector<py::object> weights;  // w_ih, w_hh, b_ih, b_hh per layer
};

std::optional<Stack> stack_of(py::handle rnn) {
  std::optional<bool> lstm = plain_recurrent(rnn);
  if (!lstm || !truthy(rnn.attr("bias"))) return std::nullopt;
  Stack st;
  st.lstm = *lstm;
  st.L = as_i64(rnn.attr("num_layers"));
  st.in = as_i64(rnn.attr("input_size"));
  st.H = as_i64(rnn.attr("hidden_size"));
  st.dropout = rnn.attr("dropout").cast<double>();
  st.training = truthy(rnn.attr("training"));
  if (st.L < 1 || st.H < 1 || st.in < 1) return std::nullopt;
  const std::int64_t G = (st.lstm ? 4 : 3) * st.H;
  py::dict params = rnn.attr("__dict__")["_parameters"];
  for (std::int64_t l = 0; l < st.L; ++l) {
    const std::string sfx = "_l" + std::to_string(l);
    const std::int64_t in = l == 0 ? st.in : st.H;
    for (const char* name : {"weight_ih", "weight_hh", "bias_ih", "bias_hh"}) {
      const std::string key = name + sfx;
      if (!params.contains(key)) return std::nullopt;
      py::object t = params[key.c_str()];
      const bool bias = name[0] == 'b';
      const bool ok = f32_cpu(t) && (bias ? has_shape(t, {G})
                                          : has_shape(t, {G, name[7] == 'i' ? in : st.H}));
      if (!ok) return std::nullopt;
      st.weights.push_back(t);
    }
  }
  return st;
}

// Dropout multipliers of the inputs of layers 1..L-1, (L-1, T, N, H), drawn as the library's
// layer stack draws them: one (steps, N, H) tensor per layer boundary and call, uniform draws
// made Bernoulli and scaled by 1 / (1 - p). A decoder runs one call per step, so `per_step`
// draws T tensors of one step each, step-major. None when nothing is dropped.
py::object dropout_masks(const Stack& st, std::int64_t T, std::int64_t N, bool per_step) {
  if (!st.training || st.L < 2 || !(st.dropout > 0.0)) return py::none();
  if (st.dropout >= 1.0) return zeros_f32({st.L - 1, T, N, st.H});  // the library draws nothing
  const double keep = 1.0 - st.dropout;
  auto draw = [&](std::int64_t steps) {
    return py::object(empty_f32({steps, N, st.H}).attr("bernoulli_")(keep).attr("div_")(keep));
  };
  std::vector<py::list> layers(st.L - 1);
  if (per_step) {
    for (std::int64_t t = 0; t < T; ++t)
      for (auto& l : layers) l.append(draw(1));
  } else {
    for (auto& l : layers) l.append(draw(T));
  }
  py::list joined;
  for (auto& l : layers) joined.append(tensor_ops().cat(l, 0));
  return tensor_ops().stack(joined, 0);
}

Isa chosen_isa(const FusedContext& c) {
  py::object name = py::getattr(c.module, "_kernel_isa", py::none());
  if (py::isinstance<py::str>(name)) {
    const std::string n = name.cast<std::string>();
    if (n == "avx512") return Isa::avx512;
    if (n == "avx2") return Isa::avx2;
    if (n == "base") return Isa::base;
  }
  return best_isa();
}

bool kernel_enabled(const FusedContext& c) {
  return truthy(py::getattr(c.module, "_cpu_kernel", py::bool_(true)));
}

// What a call of the autograd function carries besides tensors.
struct Spec {
  bool lstm = false, feedback = false;
  std::int64_t T = 0, N = 0, L = 0, D = 0, H = 0;
  int threads = 1;
  Isa isa = Isa::base;
  bool keep = false;  // the forward pass keeps every step for the backward pass

  py::tuple pack() const {
    return py::make_tuple(lstm, feedback, T, N, L, D, H, threads, static_cast<int>(isa), keep);
  }
  static Spec unpack(py::handle o) {
    py::tuple t = py::reinterpret_borrow<py::tuple>(o);
    Spec s;
    s.lstm = t[0].cast<bool>();
    s.feedback = t[1].cast<bool>();
    s.T = as_i64(t[2]);
    s.N = as_i64(t[3]);
    s.L = as_i64(t[4]);
    s.D = as_i64(t[5]);
    s.H = as_i64(t[6]);
    s.threads = t[7].cast<int>();
    s.isa = static_cast<Isa>(t[8].cast<int>());
    s.keep = t[9].cast<bool>();
    return s;
  }
  StackShape shape() const {
    StackShape s;
    s.T = T, s.N = N, s.L = L, s.D = D, s.H = H, s.lstm = lstm, s.feedback = feedback;
    return s;
  }
};

// tensors: x, h0, c0, mask, then 4 per layer, then fc weight and bias (feedback).
constexpr std::size_t kFirstWeight = 4;

StackWeights weights_of(const Spec& sp, const std::vector<py::object>& t) {
  StackWeights w;
  for (std::int64_t l = 0; l < sp.L; ++l) {
    w.w_ih.push_back(data_of<const float>(t[kFirstWeight + 4 * l]));
    w.w_hh.push_back(data_of<const float>(t[kFirstWeight + 4 * l + 1]));
    w.b_ih.push_back(data_of<const float>(t[kFirstWeight + 4 * l + 2]));
    w.b_hh.push_back(data_of<const float>(t[kFirstWeight + 4 * l + 3]));
  }
  if (sp.feedback) {
    w.fc_w = data_of<const float>(t[kFirstWeight + 4 * sp.L]);
    w.fc_b = data_of<const float>(t[kFirstWeight + 4 * sp.L + 1]);
  }
  return w;
}

struct Outputs {
  py::object h_last, c_last, pred;
};

StackInputs inputs_of(const std::vector<py::object>& t) {
  StackInputs in;
  in.x = data_of<const float>(t[0]);
  in.h0 = data_of<const float>(t[1]);
  in.c0 = data_of<const float>(t[2]);
  in.mask = data_of<const float>(t[3]);
  return in;
}

Outputs run_forward(const Spec& sp, const std::vector<py::object>& t,
                    const StackKept* keep = nullptr) {
  const StackShape s = sp.shape();
  Outputs out;
  out.h_last = empty_f32({sp.L, sp.N, sp.H});
  out.c_last = sp.lstm ? empty_f32({sp.L, sp.N, sp.H}) : py::none();
  out.pred = sp.feedback ? empty_f32({sp.N, sp.T, sp.D}) : py::none();
  StackOutputs o;
  o.h_last = data_of<float>(out.h_last);
  o.c_last = data_of<float>(out.c_last);
  o.pred = data_of<float>(out.pred);
  const StackInputs in = inputs_of(t);
  const StackWeights w = weights_of(sp, t);
  alphaloom::StopToken stop(&alphaloom::poll_signals);
  {
    py::gil_scoped_release nogil;
    stack_forward(s, w, in, o, keep, sp.threads, sp.isa, &stop);
  }
  alphaloom::rethrow_if_interrupted();
  return out;
}

py::object result_of(const Spec& sp, const Outputs& out) {
  if (sp.feedback) return out.pred;
  if (sp.lstm) return py::make_tuple(out.h_last, out.c_last);
  return out.h_last;
}

// Runs the stack: through the autograd function when a gradient is wanted, else directly.
py::object run(const FusedContext& c, const Spec& sp, std::vector<py::object> t) {
  const bool grad = alphaloom::needs_gradient(t);
  for (py::object& v : t) v = contiguous(v);
  if (!grad) return result_of(sp, run_forward(sp, t));
  py::list args;
  args.append(sp.pack());
  for (const py::object& v : t) args.append(v);
  return c.fn.attr("apply")(*args);
}

Spec spec_for(const FusedContext& c, const Stack& st, bool feedback, std::int64_t T,
              std::int64_t N, std::int64_t D) {
  Spec sp;
  sp.lstm = st.lstm;
  sp.feedback = feedback;
  sp.T = T, sp.N = N, sp.L = st.L, sp.D = D, sp.H = st.H;
  sp.threads = alphaloom::library_threads();
  sp.isa = chosen_isa(c);
  // Keeping every step saves the backward pass a recomputation of the forward pass; above the
  // module's `_kernel_keep_bytes` (per stack) it recomputes block by block and keeps nothing.
  py::object budget = py::getattr(c.module, "_kernel_keep_bytes", py::int_(0));
  sp.keep = kept_floats(sp.shape()) * sizeof(float) <= py::int_(budget).cast<std::size_t>();
  return sp;
}

}  // namespace

bool plain_call(py::handle module) {
  try {
    py::dict d = module.attr("__dict__");
    for (const char* k :
         {"_forward_hooks", "_forward_pre_hooks", "_backward_hooks", "_backward_pre_hooks"}) {
      if (!d.contains(k) || truthy(d[k])) return false;
    }
    if (!py::getattr(module, "_compiled_call_impl", py::none()).is_none()) return false;
    return true;
  } catch (py::error_already_set&) {
    PyErr_Clear();
    return false;
  }
}

bool global_hooks_clear() {
  Ops& o = ops();
  for (const char* k : {"_global_forward_hooks", "_global_forward_pre_hooks",
                        "_global_backward_hooks", "_global_backward_pre_hooks"}) {
    py::object v = py::getattr(o.hooks_module, k, py::none());
    if (v.is_none() || truthy(v)) return false;
  }
  if (!o.tracing_state.is_none() && !o.tracing_state().is_none()) return false;
  // Under CPU autocast the modules compute in lower precision; the kernels would not.
  if (o.autocast_enabled.is_none()) return false;
  try {
    if (truthy(o.autocast_enabled("cpu"))) return false;
  } catch (py::error_already_set&) {
    PyErr_Clear();
    return false;
  }
  return true;
}

std::optional<bool> plain_recurrent(py::handle rnn) {
  Ops& o = ops();
  py::handle type = py::type::handle_of(rnn);
  const bool lstm = type.is(o.lstm);
  if (!lstm && !type.is(o.gru)) return std::nullopt;
  if (!plain_call(rnn) || !truthy(rnn.attr("batch_first")) || truthy(rnn.attr("bidirectional")))
    return std::nullopt;
  if (lstm && as_i64(rnn.attr("proj_size")) != 0) return std::nullopt;
  return lstm;
}

std::optional<DecoderParts> plain_decoder(py::handle dec, py::handle dec_cls) {
  if (!py::type::handle_of(dec).is(dec_cls) || !plain_call(dec) || !global_hooks_clear())
    return std::nullopt;
  py::dict mods = dec.attr("__dict__")["_modules"];
  if (!mods.contains("rnn") || !mods.contains("fc")) return std::nullopt;
  DecoderParts parts{mods["rnn"], mods["fc"], false};
  std::optional<bool> lstm = plain_recurrent(parts.rnn);
  if (!lstm || !py::type::handle_of(parts.fc).is(ops().linear) || !plain_call(parts.fc))
    return std::nullopt;
  parts.lstm = *lstm;
  return parts;
}

py::list kernel_isas() {
  py::list names;
  const std::pair<Isa, const char*> all[] = {
      {Isa::avx512, "avx512"}, {Isa::avx2, "avx2"}, {Isa::base, "base"}};
  for (auto [isa, name] : all)
    if (isa_available(isa)) names.append(name);
  return names;
}

py::object fused_stack_forward(py::object ctx, py::object spec, py::args tensors) {
  const Spec sp = Spec::unpack(spec);
  std::vector<py::object> t;
  for (py::handle v : tensors) t.push_back(py::reinterpret_borrow<py::object>(v));
  const StackShape s = sp.shape();
  py::object kept_owner = py::none();
  StackKept kept;
  if (sp.keep) {
    const std::size_t n_kept = kept_floats(s);
    auto* owner = new std::shared_ptr<float>(pooled_floats(n_kept));
    kept_owner = py::capsule(owner, [](void* p) { delete static_cast<std::shared_ptr<float>*>(p); });
    kept = carve_kept(s, owner->get());
  }
  Outputs out = run_forward(sp, t, kept_owner.is_none() ? nullptr : &kept);
  ctx.attr("set_materialize_grads")(false);
  ctx.attr("spec") = spec;
  ctx.attr("kept") = kept_owner;
  ctx.attr("save_for_backward")(*tensors);
  return result_of(sp, out);
}

py::tuple fused_stack_backward(py::object ctx, py::args grads) {
  alphaloom::TensorOps& o = tensor_ops();
  if (truthy(o.is_grad_enabled()))
    alphaloom::raise(PyExc_RuntimeError,
                     "the fused recurrence has no second derivative; set "
                     "dualstream._cpu_kernel = False to differentiate twice");
  const Spec sp = Spec::unpack(ctx.attr("spec"));
  const StackShape s = sp.shape();
  py::tuple saved(ctx.attr("saved_tensors"));
  std::vector<py::object> t;
  for (py::handle v : saved) t.push_back(py::reinterpret_borrow<py::object>(v));
  py::tuple needs(ctx.attr("needs_input_grad"));
  auto need = [&](std::size_t i) { return truthy(needs[i + 1]); };  // +1: the packed settings
  auto grad_in = [&](std::size_t k) -> py::object {
    if (k >= py::len(grads) || grads[k].is_none()) return py::none();
    return py::object(grads[k].attr("to")(o.float32).attr("contiguous")());
  };
  py::object g_first = grad_in(0), g_second = sp.lstm && !sp.feedback ? grad_in(1) : py::none();

  // Gradients of every tensor input; the parameters' are computed whether asked or not.
  std::vector<py::object> out(t.size(), py::none());
  if (need(0) && !sp.feedback) out[0] = empty_f32({sp.T, sp.N, sp.D});
  if (need(1)) out[1] = empty_f32({sp.L, sp.N, sp.H});
  if (need(2) && sp.lstm) out[2] = empty_f32({sp.L, sp.N, sp.H});
  for (std::size_t k = kFirstWeight; k < t.size(); ++k)
    out[k] = o.zeros_like(t[k]);
  StackGrads g;
  g.h_last = sp.feedback ? nullptr : data_of<const float>(g_first);
  g.c_last = data_of<const float>(g_second);
  g.pred = sp.feedback ? data_of<const float>(g_first) : nullptr;
  g.x = data_of<float>(out[0]);
  g.h0 = data_of<float>(out[1]);
  g.c0 = data_of<float>(out[2]);
  for (std::int64_t l = 0; l < sp.L; ++l) {
    g.w_ih.push_back(data_of<float>(out[kFirstWeight + 4 * l]));
    g.w_hh.push_back(data_of<float>(out[kFirstWeight + 4 * l + 1]));
    g.b_ih.push_back(data_of<float>(out[kFirstWeight + 4 * l + 2]));
    g.b_hh.push_back(data_of<float>(out[kFirstWeight + 4 * l + 3]));
  }
  if (sp.feedback) {
    g.fc_w = data_of<float>(out[kFirstWeight + 4 * sp.L]);
    g.fc_b = data_of<float>(out[kFirstWeight + 4 * sp.L + 1]);
  }
  const StackInputs in = inputs_of(t);
  const StackWeights w = weights_of(sp, t);
  py::object kept_owner = py::getattr(ctx, "kept", py::none());
  StackKept kept;
  if (!kept_owner.is_none())
    kept = carve_kept(s, static_cast<std::shared_ptr<float>*>(
                             py::reinterpret_borrow<py::capsule>(kept_owner).get_pointer())
                             ->get());
  alphaloom::StopToken stop(&alphaloom::poll_signals);
  {
    py::gil_scoped_release nogil;
    stack_backward(s, w, in, kept_owner.is_none() ? nullptr : &kept, g, sp.threads, sp.isa,
                   &stop);
  }
  ctx.attr("kept") = py::none();  // back to the pool now, not when the graph goes
  alphaloom::rethrow_if_interrupted();
  py::list result;
  result.append(py::none());  // spec
  for (std::size_t k = 0; k < t.size(); ++k)
    result.append(k == 3 || !need(k) ? py::none() : out[k]);  // 3: the dropout masks
  return py::tuple(result);
}

std::optional<py::object> fused_encoder(const FusedContext& c, py::handle rnn, py::handle x,
                                        py::object& x_steps) {
  if (!kernel_enabled(c) || !f32_cpu(x) || !global_hooks_clear()) return std::nullopt;
  std::optional<Stack> st = stack_of(rnn);
  if (!st) return std::nullopt;
  py::tuple shape(x.attr("shape"));
  if (py::len(shape) != 3) return std::nullopt;
  const std::int64_t N = as_i64(shape[0]), T = as_i64(shape[1]), D = as_i64(shape[2]);
  if (T < 1 || N < 1 || D != st->in) return std::nullopt;
  if (!x_steps) x_steps = x.attr("permute")(1, 0, 2).attr("contiguous")();
  Spec sp = spec_for(c, *st, false, T, N, D);
  std::vector<py::object> t = {x_steps, py::none(), py::none(),
                               dropout_masks(*st, T, N, false)};
  for (py::object& w : st->weights) t.push_back(w);
  return run(c, sp, std::move(t));
}

std::optional<py::object> fused_decoder(const FusedContext& c, py::handle dec, py::handle dec_cls,
                                        py::handle state, long steps, long d_feat) {
  if (!kernel_enabled(c) || steps < 1) return std::nullopt;
  std::optional<DecoderParts> parts = plain_decoder(dec, dec_cls);
  if (!parts) return std::nullopt;
  std::optional<Stack> st = stack_of(parts->rnn);
  if (!st || st->in != d_feat) return std::nullopt;
  py::dict fc_params = parts->fc.attr("__dict__")["_parameters"];
  if (!fc_params.contains("weight") || !fc_params.contains("bias")) return std::nullopt;
  py::object fc_w = fc_params["weight"], fc_b = fc_params["bias"];
  if (!f32_cpu(fc_w) || !f32_cpu(fc_b) || !has_shape(fc_w, {d_feat, st->H}) ||
      !has_shape(fc_b, {d_feat}))
    return std::nullopt;
  py::object h0, c0 = py::none();
  if (st->lstm) {
    if (!py::isinstance<py::sequence>(state) || py::isinstance<py::str>(state) ||
        py::len(state) != 2)
      return std::nullopt;
    h0 = state[py::int_(0)];
    c0 = state[py::int_(1)];
  } else {
    h0 = py::reinterpret_borrow<py::object>(state);
  }
  if (!f32_cpu(h0) || (st->lstm && !f32_cpu(c0))) return std::nullopt;
  py::tuple shape(h0.attr("shape"));
  if (py::len(shape) != 3) return std::nullopt;
  const std::int64_t N = as_i64(shape[1]);
  if (N < 1 || !has_shape(h0, {st->L, N, st->H}) || (st->lstm && !has_shape(c0, {st->L, N, st->H})))
    return std::nullopt;
  Spec sp = spec_for(c, *st, true, steps, N, d_feat);
  std::vector<py::object> t = {py::none(), h0, c0, dropout_masks(*st, steps, N, true)};
  for (py::object& w : st->weights) t.push_back(w);
  t.push_back(fc_w);
  t.push_back(fc_b);
  return run(c, sp, std::move(t));
}

}  // namespace dualstream
