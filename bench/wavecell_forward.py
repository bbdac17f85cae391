"""SFM network at the trainer's defaults (batch 1600 x 360 columns: D 6, T 60, H 64, F 25, O 32):
forward without gradient tracking (evaluation, prediction) and forward + backward (training),
against the step-by-step formulation written below as a plain Python module with the same
weights. Outputs and gradients are checked equal before anything is timed.
"""
import sys

import numpy as np
import torch

from harness import best_of, report, section

import wavecell

D, H, F, O = 6, 64, 25, 32
N, WIDTH = 1600, 360


class StepByStep(torch.nn.Module):
    """The recurrence as written: five input and five recurrent products, the constants and the
    state update issued op by op, every step."""

    def __init__(self, net):
        super().__init__()
        for name, value in net.state_dict().items():
            if "." not in name:
                self.register_parameter(name, torch.nn.Parameter(value.detach().clone()))
        self.fc_out = torch.nn.Linear(O, 1)
        self.fc_out.load_state_dict(net.fc_out.state_dict())

    def forward(self, inp):
        n = inp.shape[0]
        x = inp.reshape(n, D, -1).permute(0, 2, 1)
        sig, tanh = torch.nn.functional.hardsigmoid, torch.tanh
        h = torch.zeros(H)
        s_re = torch.zeros(1, H, F)
        s_im = torch.zeros(1, H, F)
        time = torch.tensor(0)
        for t in range(x.shape[1]):
            xt = x[:, t, :]
            frequency = torch.tensor(np.array([float(k) / F for k in range(F)]))
            i = sig(xt @ self.W_i + self.b_i + h @ self.U_i)
            ste = sig(xt @ self.W_ste + self.b_ste + h @ self.U_ste)
            fre = sig(xt @ self.W_fre + self.b_fre + h @ self.U_fre)
            f = ste.reshape(-1, H, 1) * fre.reshape(-1, 1, F)
            c = i * tanh(xt @ self.W_c + self.b_c + h @ self.U_c)
            time = time + 1
            omega = torch.tensor(2 * np.pi) * time * frequency
            re, im = torch.cos(omega), torch.sin(omega)
            c = c.reshape(-1, H, 1)
            s_re = f * s_re + c * re
            s_im = f * s_im + c * im
            amp = (torch.square(s_re) + torch.square(s_im)).reshape(-1, F).float()
            a = tanh((amp @ self.U_a).reshape(-1, H) + self.b_a)
            o = sig(xt @ self.W_o + self.b_o + h @ self.U_o)
            h = o * a
            p = h @ self.W_p + self.b_p
        return self.fc_out(p).squeeze(1)


def forward_backward(net, x, w):
    net.zero_grad(set_to_none=True)
    (net(x) * w).sum().backward()


def check_equal(ours, base, x, w):
    forward_backward(ours, x, w)
    forward_backward(base, x, w)
    with torch.no_grad():
        diff = (ours(x) - base(x)).abs().max().item()
    worst = diff
    for (name, p), q in zip(ours.named_parameters(), base.parameters()):
        scale = max(1.0, q.grad.abs().max().item())
        worst = max(worst, (p.grad - q.grad).abs().max().item() / scale)
    print(f"check on {x.shape[0]} rows: max output difference {diff:.2e}, "
          f"worst gradient difference (relative) {worst:.2e}")
    if worst > 1e-5:
        sys.exit("outputs or gradients differ from the step-by-step formulation")


def main():
    torch.set_num_threads(2)
    torch.manual_seed(0)
    ours = wavecell.SFM_Model(d_feat=D, output_dim=O, freq_dim=F, hidden_size=H)
    base = StepByStep(ours)
    gen = torch.Generator().manual_seed(1)
    x = torch.randn(N, WIDTH, generator=gen)
    w = torch.randn(N, generator=gen) / N
    check_equal(ours, base, x[:200], w[:200])

    section("SFM_Model recurrence fused on the CPU",
            "the step-by-step formulation as a plain Python module (below), same weights")

    def no_grad(net):
        with torch.no_grad():
            net(x)

    report("sfm forward, no grad (1600x360)",
           best_of(lambda: no_grad(ours), warmup=0),
           best_of(lambda: no_grad(base), warmup=0))
    report("sfm forward+backward (1600x360)",
           best_of(lambda: forward_backward(ours, x, w), warmup=0),
           best_of(lambda: forward_backward(base, x, w), warmup=0))


if __name__ == "__main__":
    main()
