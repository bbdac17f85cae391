"""The ADD network written as plain torch modules, and the training and per-day evaluation
loops as a first Python version would write them: the reference the tests and benchmarks hold
`dualstream.ADDModel` and the `dualstream.ADD` epochs to. Same submodule names and registration
order, so one state dict loads into both; the decoder runs step by step through `nn.GRU` /
`nn.LSTM` calls."""
import math

import numpy as np
import pandas as pd
import torch
from torch import nn


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


def twin_of(model, **kw):
    """A PlainADD holding `model`'s weights and reversal schedule, built with the sizes given."""
    twin = PlainADD(**kw)
    twin.load_state_dict(model.state_dict())  # strict: same keys, same shapes
    for name in ("before_adv_market", "before_adv_excess"):
        ours, theirs = getattr(model, name), getattr(twin, name)
        theirs._p, theirs._alpha = ours._p, ours._alpha
    return twin


def per_day_test_epoch(model, net, data_x, data_y, data_m):
    """`ADD.test_epoch` as one forward pass of `net` per day (autograd on), the loss records of
    `model.loss_fn` and pandas Pearson and Spearman correlations per day."""
    x_values, y_values = data_x.values, data_y.values
    m_values = data_m.values.astype(int)
    net.eval()
    daily_index, daily_count = model.get_daily_inter(data_x, shuffle=False)
    records = []
    for idx, count in zip(daily_index, daily_count):
        batch = slice(idx, idx + count)
        feature = torch.from_numpy(x_values[batch]).float().to(model.device)
        label_excess = torch.from_numpy(y_values[batch]).float().to(model.device)
        label_market = torch.from_numpy(m_values[batch]).long().to(model.device)
        metrics = {}
        preds = net(feature)
        model.loss_fn(feature, preds, label_excess, label_market, metrics)
        mse = -torch.nn.functional.mse_loss(preds["excess"], label_excess).item()
        metrics["mse"] = mse
        metrics["loss"] = mse
        pred = pd.Series(preds["excess"].cpu().detach().numpy())
        label = pd.Series(label_excess.cpu().detach().numpy())
        metrics["ic"] = pred.corr(label)
        metrics["ric"] = pred.corr(label, method="spearman")
        records.append(metrics)
    return {k: np.mean([r[k] for r in records]) for k in records[0]}


def plain_train_epoch(model, net, optimizer, x_values, y_values, m_values):
    """`ADD.train_epoch` for `net` and `optimizer`: shuffled full batches of
    `model.batch_size` rows, `model.loss_fn`, gradients clipped at 3."""
    net.train()
    indices = np.arange(len(x_values))
    np.random.shuffle(indices)
    for i in range(len(indices))[::model.batch_size]:
        if len(indices) - i < model.batch_size:
            break
        batch = indices[i:i + model.batch_size]
        feature = torch.from_numpy(x_values[batch]).float().to(model.device)
        label_excess = torch.from_numpy(y_values[batch]).float().to(model.device)
        label_market = torch.from_numpy(m_values[batch]).long().to(model.device)
        preds = net(feature)
        loss = model.loss_fn(feature, preds, label_excess, label_market)
        optimizer.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_value_(net.parameters(), 3.0)
        optimizer.step()
