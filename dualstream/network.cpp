#include "dualstream/network.hpp"

#include <pybind11/gil_safe_call_once.h>

#include <cmath>
#include <string>

#include "common/libs.hpp"
#include "common/tensor_glue.hpp"
#include "dualstream/fused.hpp"

namespace dualstream {
using alphaloom::libs;
using alphaloom::truthy;
using namespace pybind11::literals;

namespace {

// torch pieces the forward passes call, looked up once per process.
struct NetLibs {
  py::object nn, gru, lstm, linear_cls, sequential, batchnorm1d, tanh, tensor, zeros_like, cat,
      stack, squeeze, unsqueeze, linear_fn, vf_gru, vf_lstm;
};

NetLibs &net() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<NetLibs> storage;
  return storage
      .call_once_and_store_result([] {
        NetLibs n;
        py::module_ torch = libs().torch;
        n.nn = torch.attr("nn");
        n.gru = n.nn.attr("GRU");
        n.lstm = n.nn.attr("LSTM");
        n.linear_cls = n.nn.attr("Linear");
        n.sequential = n.nn.attr("Sequential");
        n.batchnorm1d = n.nn.attr("BatchNorm1d");
        n.tanh = n.nn.attr("Tanh");
        n.tensor = torch.attr("tensor");
        n.zeros_like = torch.attr("zeros_like");
        n.cat = torch.attr("cat");
        n.stack = torch.attr("stack");
        n.squeeze = torch.attr("squeeze");
        n.unsqueeze = torch.attr("unsqueeze");
        n.linear_fn = n.nn.attr("functional").attr("linear");
        // The recurrent kernels nn.GRU / nn.LSTM end in. Optional: without them the decoder
        // loop simply calls the modules.
        py::object vf = py::getattr(torch, "_VF", py::none());
        n.vf_gru = vf.is_none() ? py::none() : py::getattr(vf, "gru", py::none());
        n.vf_lstm = vf.is_none() ? py::none() : py::getattr(vf, "lstm", py::none());
        return n;
      })
      .get_stored();
}

py::object submodule(py::handle self, const char *name) {
  return self.attr("__dict__")["_modules"][name];
}

py::object param(py::handle module, const char *name) {
  return module.attr("__dict__")["_parameters"][name];
}

[[noreturn]] void unknown_base_model(py::handle name) {
  alphaloom::raise(PyExc_ValueError, alphaloom::percent("unknown base model name `%s`",
                                                        py::make_tuple(name))
                                         .cast<std::string>());
}

// nn.GRU / nn.LSTM by the exact, case-sensitive name; anything else is refused.
py::object recurrent_class(py::handle base_model) {
  if (base_model.equal(py::str("GRU"))) return net().gru;
  if (base_model.equal(py::str("LSTM"))) return net().lstm;
  unknown_base_model(base_model);
}

py::object build_rnn(py::handle base_model, py::handle d_feat, py::handle hidden_size,
                     py::handle num_layers, py::handle dropout) {
  return recurrent_class(base_model)("input_size"_a = d_feat, "hidden_size"_a = hidden_size,
                                     "num_layers"_a = num_layers, "batch_first"_a = true,
                                     "dropout"_a = dropout);
}

py::object head(py::handle width, int out) {
  NetLibs &n = net();
  return n.sequential(n.linear_cls(width, width), n.batchnorm1d(width), n.tanh(),
                      n.linear_cls(width, out));
}

// One decoder step with everything looked up beforehand. When the decoder, its recurrent
// layer and its output layer are the stock classes without hooks, a step is exactly the
// kernel their forwards end in, called with the same arguments; otherwise it is `dec(x, h)`.
class DecoderSteps {
 public:
  DecoderSteps(const NetClasses &c, py::handle dec) : dec_(py::reinterpret_borrow<py::object>(dec)) {
    NetLibs &n = net();
    std::optional<DecoderParts> parts = plain_decoder(dec, c.decoder);
    if (!parts) return;
    lstm_ = parts->lstm;
    py::object vf = lstm_ ? n.vf_lstm : n.vf_gru;
    if (vf.is_none()) return;
    py::object rnn = parts->rnn, fc = parts->fc;
    // nn.RNNBase refreshes its flat weight list at the start of every forward; once per
    // decoder pass is enough, the parameters do not change within it.
    py::object update = py::getattr(rnn, "_update_flat_weights", py::none());
    if (!update.is_none()) update();
    kernel_ = vf;
    flat_ = rnn.attr("_flat_weights");
    bias_ = rnn.attr("bias");
    layers_ = rnn.attr("num_layers");
    dropout_ = rnn.attr("dropout");
    training_ = rnn.attr("training");
    weight_ = param(fc, "weight");
    fc_bias_ = param(fc, "bias");
    fast_ = true;
  }

  // (prediction, new state) from (input, state), as `dec(input, state)` returns it.
  std::pair<py::object, py::object> operator()(py::handle x, py::handle hidden) const {
    if (!fast_) {
      py::tuple r = dec_(x, hidden);
      return {r[0], r[1]};
    }
    NetLibs &n = net();
    py::object x3 = n.unsqueeze(x, 1);
    py::tuple r = kernel_(x3, hidden, flat_, bias_, layers_, dropout_, training_, false, true);
    py::object state = lstm_ ? py::object(py::make_tuple(r[1], r[2])) : py::object(r[1]);
    py::object out = n.squeeze(r[0], 1);
    return {n.linear_fn(out, weight_, fc_bias_), state};
  }

 private:
  py::object dec_, kernel_, flat_, bias_, layers_, dropout_, training_, weight_, fc_bias_;
  bool lstm_ = false;
  bool fast_ = false;
};

// (layers, N, H) -> (N, layers * H), layer 0 first.
py::object flatten_state(py::handle h, py::handle n_rows) {
  return h.attr("permute")(1, 0, 2).attr("reshape")(n_rows, -1);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// ADDModel

void add_model_init(const NetClasses &c, py::object self, py::object d_feat, py::object hidden_size,
                    py::object num_layers, py::object dropout, py::object dec_dropout,
                    py::object base_model, py::object gamma, py::object gamma_clip) {
  alphaloom::super_of(c.add_model, self).attr("__init__")();
  self.attr("d_feat") = d_feat;
  self.attr("base_model") = base_model;
  self.attr("enc_excess") = build_rnn(base_model, d_feat, hidden_size, num_layers, dropout);
  self.attr("enc_market") = build_rnn(base_model, d_feat, hidden_size, num_layers, dropout);
  self.attr("dec") = c.decoder(d_feat, py::int_(2) * hidden_size, num_layers, dec_dropout, base_model);
  py::object width = hidden_size * num_layers;
  // Each pair is built before either is assigned, so the draw order of the initial weights
  // is fixed by construction, not by assignment.
  py::object pred_excess = head(width, 1), adv_excess = head(width, 1);
  self.attr("pred_excess") = pred_excess;
  self.attr("adv_excess") = adv_excess;
  py::object adv_market = head(width, 3), pred_market = head(width, 3);
  self.attr("adv_market") = adv_market;
  self.attr("pred_market") = pred_market;
  py::object rev_market = c.revgrad(gamma, gamma_clip), rev_excess = c.revgrad(gamma, gamma_clip);
  self.attr("before_adv_market") = rev_market;
  self.attr("before_adv_excess") = rev_excess;
}

py::object add_model_forward(const NetClasses &c, py::object self, py::object x) {
  NetLibs &n = net();
  py::object d_feat = self.attr("__dict__")["d_feat"];
  py::int_ rows(py::len(x));
  x = x.attr("reshape")(rows, d_feat, -1);
  long steps = py::int_(x.attr("size")(-1)).cast<long>();
  x = x.attr("permute")(0, 2, 1);  // (N, T, d_feat), oldest step first

  // On the CPU in float32 the encoders run as fused kernels over the whole window; anything
  // else (other devices or dtypes, hooks, subclasses) calls the modules.
  const FusedContext fused{c.module, c.fused_fn};
  py::object x_steps;  // (T, N, d_feat), made once when a fused encoder needs it
  auto encode = [&](const char *name) -> py::object {
    py::object enc = submodule(self, name);
    if (auto state = fused_encoder(fused, enc, x, x_steps)) return *state;
    return py::tuple(enc(x))[1];
  };
  py::object state_excess = encode("enc_excess");
  py::object state_market = encode("enc_market");
  bool lstm = py::isinstance<py::tuple>(state_excess);
  py::object h_excess = lstm ? py::object(py::tuple(state_excess)[0]) : state_excess;
  py::object h_market = lstm ? py::object(py::tuple(state_market)[0]) : state_market;
  py::object feature_excess = flatten_state(h_excess, rows);
  py::object feature_market = flatten_state(h_market, rows);

  py::dict out;
  out["excess"] = submodule(self, "pred_excess")(feature_excess).attr("squeeze")(1);
  out["market"] = submodule(self, "pred_market")(feature_market);
  out["adv_market"] =
      submodule(self, "adv_market")(submodule(self, "before_adv_market")(feature_excess));
  out["adv_excess"] =
      submodule(self, "adv_excess")(submodule(self, "before_adv_excess")(feature_market));

  py::object state;
  if (lstm) {
    py::tuple se(state_excess), sm(state_market);
    py::list joined;
    joined.append(n.cat(py::make_tuple(se[0], sm[0]), -1));
    joined.append(n.cat(py::make_tuple(se[1], sm[1]), -1));
    state = joined;
  } else {
    state = n.cat(py::make_tuple(state_excess, state_market), -1);
  }

  // The decoder regenerates the window from the first step on; the first prediction comes
  // from a zero input, each later one from the previous prediction.
  py::object input = n.zeros_like(x[py::make_tuple(py::slice(py::none(), py::none(), py::none()), 0)]);
  py::object dec = submodule(self, "dec");
  long d_feat_n = py::int_(d_feat).cast<long>();
  if (auto predictions = fused_decoder(fused, dec, c.decoder, state, steps, d_feat_n)) {
    out["reconstructed_feature"] = *predictions;
    return out;
  }
  py::list reconstructed;
  if (steps > 0) {
    // The first step goes through the module call, which also validates the shapes.
    py::tuple first = dec(input, state);
    input = first[0];
    state = first[1];
    reconstructed.append(input);
  }
  if (steps > 1) {
    DecoderSteps step(c, dec);
    for (long t = 1; t < steps; ++t) {
      auto [pred, next] = step(input, state);
      input = std::move(pred);
      state = std::move(next);
      reconstructed.append(input);
    }
  }
  out["reconstructed_feature"] = n.stack(reconstructed, 1);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Decoder

void decoder_init(const NetClasses &c, py::object self, py::object d_feat, py::object hidden_size,
                  py::object num_layers, py::object dropout, py::object base_model) {
  alphaloom::super_of(c.decoder, self).attr("__init__")();
  self.attr("base_model") = base_model;
  self.attr("rnn") = build_rnn(base_model, d_feat, hidden_size, num_layers, dropout);
  self.attr("fc") = net().linear_cls(hidden_size, d_feat);
}

py::object decoder_forward(py::object self, py::object x, py::object hidden) {
  NetLibs &n = net();
  py::tuple r = submodule(self, "rnn")(n.unsqueeze(x, 1), hidden);
  py::object prediction = submodule(self, "fc")(n.squeeze(r[0], 1));
  return py::make_tuple(prediction, r[1]);
}

// ---------------------------------------------------------------------------------------------
// Gradient reversal

py::object revgrad_func_forward(py::object ctx, py::object input, py::object alpha) {
  ctx.attr("save_for_backward")(input, alpha);
  return input;
}

py::object revgrad_func_backward(py::object ctx, py::object grad_output) {
  py::tuple saved = ctx.attr("saved_tensors");
  py::object alpha = saved[1];
  py::object grad_input = py::none();
  if (truthy(py::tuple(ctx.attr("needs_input_grad"))[0])) grad_input = -grad_output * alpha;
  return py::make_tuple(grad_input, py::none());
}

void revgrad_init(const NetClasses &c, py::object self, py::object gamma, py::object gamma_clip,
                  py::args args, py::kwargs kwargs) {
  NetLibs &n = net();
  alphaloom::super_of(c.revgrad, self).attr("__init__")(*args, **kwargs);
  self.attr("gamma") = gamma;
  self.attr("gamma_clip") = n.tensor(py::float_(alphaloom::to_double(gamma_clip)),
                                     "dtype"_a = libs().float32, "requires_grad"_a = false);
  self.attr("_alpha") = n.tensor(0, "requires_grad"_a = false);
  self.attr("_p") = py::int_(0);
}

py::object revgrad_forward(const NetClasses &c, py::object self, py::object input) {
  return c.revgrad_func.attr("apply")(input, self.attr("_alpha"));
}

void revgrad_step_alpha(py::object self) {
  NetLibs &n = net();
  py::object p = py::object(self.attr("_p")) + py::int_(1);
  self.attr("_p") = p;
  double x = alphaloom::to_double(py::object(self.attr("gamma")) * p);
  double raw = 2.0 / (1.0 + std::exp(-x)) - 1.0;
  py::object raw_t = n.tensor(raw, "dtype"_a = libs().float32, "requires_grad"_a = false);
  py::object clip = self.attr("gamma_clip");
  self.attr("_alpha") = (raw_t < clip) ? raw_t : clip;
}

// ---------------------------------------------------------------------------------------------
// LSTMModel / GRUModel

void plain_rnn_init(py::handle cls, bool lstm, py::object self, py::object d_feat,
                    py::object hidden_size, py::object num_layers, py::object dropout) {
  NetLibs &n = net();
  alphaloom::super_of(cls, self).attr("__init__")();
  self.attr("rnn") = (lstm ? n.lstm : n.gru)("input_size"_a = d_feat, "hidden_size"_a = hidden_size,
                                              "num_layers"_a = num_layers, "batch_first"_a = true,
                                              "dropout"_a = dropout);
  self.attr("fc_out") = n.linear_cls(hidden_size, 1);
  self.attr("d_feat") = d_feat;
}

py::object plain_rnn_forward(py::object self, py::object x) {
  py::object d_feat = self.attr("__dict__")["d_feat"];
  x = x.attr("reshape")(py::len(x), d_feat, -1).attr("permute")(0, 2, 1);
  py::object out = py::tuple(submodule(self, "rnn")(x))[0];
  py::object last = out[py::make_tuple(py::slice(py::none(), py::none(), py::none()), -1,
                                       py::slice(py::none(), py::none(), py::none()))];
  // Only the score axis goes, so a single-row batch still gives shape (1,).
  return submodule(self, "fc_out")(last).attr("squeeze")(-1);
}

}  // namespace dualstream
