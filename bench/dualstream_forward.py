"""ADDModel forward + backward against the same network written as a plain torch module.

Trainer defaults: d_feat 6, hidden 64, 2 layers, GRU, one batch of 5000 rows x 360 columns
(T = 60); the default batch is smaller so that the script stays short on a small CPU, and
--rows 5000 runs the trainer's full batch. A second case times the evaluation-mode forward of
one day's rows, where the interpreter's share of the work is largest. Both networks hold the
same weights (one state dict loaded into both); the outputs are checked to agree to 1e-6
before timing.
"""
import argparse
import sys
import time

import torch

from harness import report, section

import dualstream
from alphaloom._testing.plain_add import PlainADD  # noqa: E402


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

    section("ADDModel forward and backward passes",
            "the same network as plain torch modules (alphaloom/_testing/plain_add.py), same weights")
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
