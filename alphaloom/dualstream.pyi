"""ADD forecaster: dual-stream recurrent network with adversarial heads."""
from os import PathLike
from typing import Any, Self

import numpy as np
import pandas as pd
import torch

# GPU: an integer (CUDA device number, CPU when CUDA is absent or < 0), "cpu", "cuda", "cuda:N" or
# a torch.device.
Device = int | str | torch.device | None
# dataset1[1]: two selector texts, two DataFrames with the frame's columns, or two index selections.
Splits = tuple[str, str] | tuple[pd.DataFrame, pd.DataFrame] | tuple[Any, Any]

class ADDModel(torch.nn.Module):
    """ADD network: excess and market streams, adversarial heads behind gradient reversal, a decoder."""

    def __init__(
        self,
        d_feat: int = 6,
        hidden_size: int = 64,
        num_layers: int = 1,
        dropout: float = 0.0,
        dec_dropout: float = 0.5,
        base_model: str = "GRU",
        gamma: float = 0.1,
        gamma_clip: float = 0.4,
    ) -> None:
        """Builds enc_excess, enc_market, dec, the four heads and the two reversal layers."""
    def forward(self, x: torch.Tensor) -> dict[str, torch.Tensor]:
        """Dictionary of excess, market, adv_market, adv_excess and reconstructed_feature."""

class Decoder(torch.nn.Module):
    """One-step recurrent decoder: (input, state) -> (prediction, new state)."""

    def __init__(
        self,
        d_feat: int = 6,
        hidden_size: int = 128,
        num_layers: int = 1,
        dropout: float = 0.5,
        base_model: str = "GRU",
    ) -> None:
        """Builds the recurrent layer rnn and the output layer fc."""
    def forward(self, x: torch.Tensor, hidden: Any) -> tuple[torch.Tensor, Any]:
        """(prediction (N, d_feat), new state) from x (N, d_feat) and the recurrent state."""

class RevGradFunc(torch.autograd.Function):
    """Gradient reversal: identity forward, gradient scaled by -alpha backward."""

    @staticmethod
    def forward(ctx: Any, input_: torch.Tensor, alpha_: torch.Tensor) -> torch.Tensor:
        """Identity; keeps (input_, alpha_) for the backward pass."""
    @staticmethod
    def backward(ctx: Any, grad_output: torch.Tensor) -> tuple[torch.Tensor | None, None]:
        """Gradient of input_ is -alpha_ * grad_output; alpha_ gets none."""

class RevGrad(torch.nn.Module):
    """Gradient-reversal layer whose strength follows a clipped schedule advanced by step_alpha."""

    def __init__(self, gamma: float = 0.1, gamma_clip: float = 0.4, *args: Any, **kwargs: Any) -> None:
        """Strength 0 until the first step_alpha; further arguments go to the base module."""
    def forward(self, input_: torch.Tensor) -> torch.Tensor:
        """RevGradFunc.apply(input_, self._alpha)."""
    def step_alpha(self) -> None:
        """Advances the reversal strength schedule by one step."""

class LSTMModel(torch.nn.Module):
    """Single-stream LSTM regressor: one score per row."""

    def __init__(
        self, d_feat: int = 6, hidden_size: int = 64, num_layers: int = 2, dropout: float = 0.0
    ) -> None:
        """Builds rnn (LSTM) and fc_out."""
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        """Scores (N,) from the last time step, for rows x of shape (N, d_feat * T)."""

class GRUModel(torch.nn.Module):
    """Single-stream GRU regressor: one score per row."""

    def __init__(
        self, d_feat: int = 6, hidden_size: int = 64, num_layers: int = 2, dropout: float = 0.0
    ) -> None:
        """Builds rnn (GRU) and fc_out."""
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        """Scores (N,) from the last time step, for rows x of shape (N, d_feat * T)."""

class ADD:
    """ADD Model"""

    print: Any
    d_feat: int
    hidden_size: int
    num_layers: int
    dropout: float
    dec_dropout: float
    n_epochs: int
    lr: float
    metric: str
    batch_size: int
    early_stop: int
    optimizer: str
    base_model: str
    model_path: str | None
    device: torch.device
    seed: int | None
    gamma: float
    gamma_clip: float
    mu: float
    ADD_model: ADDModel
    train_optimizer: torch.optim.Optimizer
    fitted: bool
    verbose: bool
    history: list[dict[str, Any]]
    lo: float
    hi: float
    def __init__(
        self,
        d_feat: int = 6,
        hidden_size: int = 64,
        num_layers: int = 2,
        dropout: float = 0.0,
        dec_dropout: float = 0.0,
        n_epochs: int = 200,
        lr: float = 0.001,
        metric: str = "mse",
        batch_size: int = 5000,
        early_stop: int = 20,
        base_model: str = "GRU",
        model_path: str | None = None,
        optimizer: str = "adam",
        gamma: float = 0.1,
        gamma_clip: float = 0.4,
        mu: float = 0.05,
        GPU: Device = 0,
        seed: int | None = None,
        verbose: bool = True,
        **kwargs: Any,
    ) -> None:
        """Stores the settings, prints them, seeds, builds ADD_model and its optimiser."""
    @property
    def use_gpu(self) -> bool:
        """True when the device is not the CPU."""
    def loss_pre_excess(
        self, pred_excess: torch.Tensor, label_excess: torch.Tensor, record: dict[str, float] | None = None
    ) -> torch.Tensor:
        """MSE of the excess prediction over rows with a label."""
    def loss_pre_market(
        self, pred_market: torch.Tensor, label_market: torch.Tensor, record: dict[str, float] | None = None
    ) -> torch.Tensor:
        """Cross-entropy of the market-regime logits."""
    def loss_pre(
        self,
        pred_excess: torch.Tensor,
        label_excess: torch.Tensor,
        pred_market: torch.Tensor,
        label_market: torch.Tensor,
        record: dict[str, float] | None = None,
    ) -> torch.Tensor:
        """loss_pre_excess + loss_pre_market."""
    def loss_adv_excess(
        self, adv_excess: torch.Tensor, label_excess: torch.Tensor, record: dict[str, float] | None = None
    ) -> torch.Tensor:
        """MSE of the adversarial excess prediction over rows with a label."""
    def loss_adv_market(
        self, adv_market: torch.Tensor, label_market: torch.Tensor, record: dict[str, float] | None = None
    ) -> torch.Tensor:
        """Cross-entropy of the adversarial market-regime logits."""
    def loss_adv(
        self,
        adv_excess: torch.Tensor,
        label_excess: torch.Tensor,
        adv_market: torch.Tensor,
        label_market: torch.Tensor,
        record: dict[str, float] | None = None,
    ) -> torch.Tensor:
        """loss_adv_excess + loss_adv_market."""
    def loss_fn(
        self,
        x: torch.Tensor,
        preds: dict[str, torch.Tensor],
        label_excess: torch.Tensor,
        label_market: torch.Tensor,
        record: dict[str, float] | None = None,
    ) -> torch.Tensor:
        """Prediction + adversarial terms + mu * reconstruction."""
    def loss_rec(
        self, x: torch.Tensor, rec_x: torch.Tensor, record: dict[str, float] | None = None
    ) -> torch.Tensor:
        """MSE between the input window (N, T, d_feat) and its reconstruction."""
    def get_daily_inter(self, df: pd.DataFrame, shuffle: bool = False) -> tuple[Any, Any]:
        """(daily_index, daily_count): first row and row count of each day."""
    def cal_ic_metrics(self, pred: torch.Tensor, label: torch.Tensor) -> dict[str, float]:
        """mse, loss (both negative errors), ic and ric of one day."""
    def test_epoch(
        self, data_x: pd.DataFrame, data_y: pd.Series, data_m: pd.Series
    ) -> dict[str, float]:
        """Per-day metric records averaged over days."""
    def train_epoch(
        self, x_train_values: np.ndarray, y_train_values: np.ndarray, m_train_values: np.ndarray
    ) -> None:
        """One pass of optimiser steps over shuffled full batches."""
    def log_metrics(self, mode: str, metrics: dict[str, float]) -> None:
        """Prints the metrics on one line as key/mode: value."""
    def bootstrap_fit(
        self,
        x_train: pd.DataFrame,
        y_train: pd.Series,
        m_train: pd.Series,
        x_valid: pd.DataFrame,
        y_valid: pd.Series,
        m_valid: pd.Series,
    ) -> float:
        """Epochs with early stopping on the validation metric; returns the best score."""
    def gen_market_label(self, df: pd.DataFrame, raw_label: pd.Series) -> pd.DataFrame:
        """df joined with the market-regime class of each row's day (market_return)."""
    def fit_thresh(self, train_label: pd.Series) -> None:
        """Sets lo and hi, the 1/3 and 2/3 quantiles of the daily mean labels."""
    def fit(
        self,
        dataset1: tuple[pd.DataFrame, Splits],
        evals_result: dict[str, Any] = ...,
        save_path: str | None = None,
    ) -> None:
        """Trains with early stopping on the validation split and saves ADD.pth."""
    def predict(self, dataset1: pd.DataFrame) -> pd.Series:
        """One float32 score per row, day by day, as a Series with the input's index."""
    @property
    def features(self) -> dict[str, Any] | None:
        """How window_features built the training frame (window, fields, ...), else None."""
    def save(self, path: str | PathLike[str]) -> None:
        """Writes settings, weights, fitted width and feature build to one file, atomically."""
    @classmethod
    def load(cls, path: str | PathLike[str], GPU: Device = None) -> Self:
        """The model save(path) wrote, rebuilt without printing anything."""
