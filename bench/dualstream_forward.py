"""ADDModel forward + backward against the same network written as a plain torch module.

Trainer defaults: d_feat 6, hidden 64, 2 layers, GRU, one batch of 5000 rows x 360 columns
(T = 60); the default batch is smaller so that the script stays short on a small CPU, and
--rows 5000 runs the trainer's full batch. A second case times the evaluation-mode forward of
one day's rows, where the interpreter's share of the work is largest. Both networks hold the
same weights (one state dict loaded into both); the outputs are checked to agree to 1e-6
before timing.
"""
import argparse
import math
import sys
import time

import torch
from torch import nn

from harness import header, report

import dualstream


class PlainDecoder(nn.Module):
    def __init__(self, d_feat, hidden_size, num_layers, dropout, base_model):
        super().__init__()
        self.base_model = base_model
        rnn = nn.GRU if base_model == "GRU" else nn.LSTM
        self.rnn = rnn(input_size=d_feat, hidden_size=hidden_size, num_layers=num_layers,
                       batch_first=True, dropout=dropout)
        self.fc = nn.Linear(hidden_size, d_feat)

    def forward(self, x, hidden):
        output, hidden = self.rnn(x.unsqueeze(1), hidden)
        return self.fc(output.squeeze(1)), hidden


class PlainRevGradFunc(torch.autograd.Function):
    @staticmethod
    def forward(ctx, input_, alpha_):
        ctx.save_for_backward(input_, alpha_)
        return input_

    @staticmethod
    def backward(ctx, grad_output):
        _, alpha_ = ctx.saved_tensors
        grad_input = -grad_output * alpha_ if ctx.needs_input_grad[0] else None
        return grad_input, None


class PlainRevGrad(nn.Module):
    def __init__(self, gamma=0.1, gamma_clip=0.4):
        super().__init__()
        self.gamma = gamma
        self.gamma_clip = torch.tensor(float(gamma_clip), requires_grad=False)
        self._alpha = torch.tensor(0, requires_grad=False)
        self._p = 0

    def step_alpha(self):
        self._p += 1
        raw = torch.tensor(2.0 / (1.0 + math.exp(-self.gamma * self._p)) - 1.0,
                           dtype=torch.float32)
        self._alpha = raw if raw < self.gamma_clip else self.gamma_clip

    def forward(self, input_):
        return PlainRevGradFunc.apply(input_, self._alpha)


def plain_head(width, out):
    return nn.Sequential(nn.Linear(width, width), nn.BatchNorm1d(width), nn.Tanh(),
                         nn.Linear(width, out))


class PlainADD(nn.Module):
    def __init__(self, d_feat=6, hidden_size=64, num_layers=2, dropout=0.0, dec_dropout=0.0,
                 base_model="GRU", gamma=0.1, gamma_clip=0.4):
        super().__init__()
        self.d_feat = d_feat
        self.base_model = base_model
        rnn = nn.GRU if base_model == "GRU" else nn.LSTM
        kw = dict(input_size=d_feat, hidden_size=hidden_size, num_layers=num_layers,
                  batch_first=True, dropout=dropout)
        self.enc_excess = rnn(**kw)
        self.enc_market = rnn(**kw)
        self.dec = PlainDecoder(d_feat, 2 * hidden_size, num_layers, dec_dropout, base_model)
        c = hidden_size * num_layers
        self.pred_excess, self.adv_excess = [plain_head(c, 1) for _ in range(2)]
        self.adv_market, self.pred_market = [plain_head(c, 3) for _ in range(2)]
        self.before_adv_market, self.before_adv_excess = [PlainRevGrad(gamma, gamma_clip)
                                                          for _ in range(2)]

    def forward(self, x):
        x = x.reshape(len(x), self.d_feat, -1)
        n, steps = x.size(0), x.size(-1)
        x = x.permute(0, 2, 1)
        _, s_excess = self.enc_excess(x)
        _, s_market = self.enc_market(x)
        lstm = isinstance(s_excess, tuple)
        h_excess = s_excess[0] if lstm else s_excess
        h_market = s_market[0] if lstm else s_market
        f_excess = h_excess.permute(1, 0, 2).reshape(n, -1)
        f_market = h_market.permute(1, 0, 2).reshape(n, -1)
        out = {"excess": self.pred_excess(f_excess).squeeze(1),
               "market": self.pred_market(f_market),
               "adv_market": self.adv_market(self.before_adv_market(f_excess)),
               "adv_excess": self.adv_excess(self.before_adv_excess(f_market))}
        if lstm:
            state = [torch.cat([s_excess[0], s_market[0]], -1),
                     torch.cat([s_excess[1], s_market[1]], -1)]
        else:
            state = torch.cat([s_excess, s_market], -1)
        step = torch.zeros_like(x[:, 0, :])
        steps_out = []
        for _ in range(steps):
            step, state = self.dec(step, state)
            steps_out.append(step)
        out["reconstructed_feature"] = torch.stack(steps_out, 1)
        return out


def objective(out):
    return sum(v.float().square().mean() for v in out.values())


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rows", type=int, default=256,
                        help="rows per batch (the trainer's batch is 5000: about 6 GB and "
                             "minutes per pass on a small CPU)")
    parser.add_argument("--repeat", type=int, default=5, help="timed passes per network")
    parser.add_argument("--day-rows", type=int, default=50,
                        help="rows of the one-day evaluation case (instruments of a day)")
    parser.add_argument("--device", default="cpu")
    # One intra-op thread by default: on a shared CPU, spinning worker threads of other
    # processes make multi-threaded timings swing by an order of magnitude.
    parser.add_argument("--threads", type=int, default=1)
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    torch.manual_seed(0)
    device = torch.device(args.device)
    rows, width = args.rows, 360
    x = torch.randn(rows, width, device=device)
    ours = dualstream.ADDModel(d_feat=6, hidden_size=64, num_layers=2, dropout=0.0,
                               dec_dropout=0.0, base_model="GRU").to(device)
    plain = PlainADD().to(device)
    plain.load_state_dict(ours.state_dict())
    for net in (ours, plain):
        for layer in (net.before_adv_excess, net.before_adv_market):
            layer.step_alpha()

    with torch.no_grad():
        a, b = ours(x), plain(x)
    worst = max((a[k] - b[k]).abs().max().item() for k in a)
    if list(a) != list(b) or worst > 1e-6:
        sys.exit(f"outputs differ: keys {list(a)} vs {list(b)}, max abs diff {worst:.3g}")
    del a, b

    def sync():
        if device.type == "cuda":
            torch.cuda.synchronize()

    def train_pass(net):
        net.zero_grad(set_to_none=True)
        sync()
        t0 = time.perf_counter()
        objective(net(x)).backward()
        sync()
        return time.perf_counter() - t0

    day = x[:args.day_rows]

    def day_pass(net, k=5):
        sync()
        t0 = time.perf_counter()
        with torch.no_grad():
            for _ in range(k):
                net(day)
        sync()
        return (time.perf_counter() - t0) / k

    header()
    # Alternating passes, so load from other processes falls on both sides alike.
    t_ours, t_plain = interleaved(train_pass, ours, plain, args.repeat)
    report(f"ADDModel train fwd+bwd {rows}x{width} {device.type}", t_ours, t_plain)
    ours.eval(), plain.eval()
    t_ours, t_plain = interleaved(day_pass, ours, plain, 2 * args.repeat)
    report(f"ADDModel eval fwd one day {len(day)}x{width} {device.type}", t_ours, t_plain)
    print(f"max output difference {worst:.2e}")


def interleaved(measure, ours, plain, repeat):
    measure(ours), measure(plain)
    best_ours = best_plain = float("inf")
    for _ in range(repeat):
        best_ours = min(best_ours, measure(ours))
        best_plain = min(best_plain, measure(plain))
    return best_ours, best_plain


if __name__ == "__main__":
    main()
