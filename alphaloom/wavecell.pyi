"""State-frequency memory (SFM) return forecaster."""
from os import PathLike
from typing import Any, Self

import pandas as pd
import torch

# GPU: an integer (CUDA device number, CPU when CUDA is absent or < 0), "cpu", "cuda", "cuda:N" or
# a torch.device.
Device = int | str | torch.device | None
# dataset1[1]: two selector texts, two DataFrames with the frame's columns, or two index selections.
Splits = tuple[str, str] | tuple[pd.DataFrame, pd.DataFrame] | tuple[Any, Any]

class SFM_Model(torch.nn.Module):
    """State-frequency memory network: rows of d_feat x T feature-major columns to one score."""

    input_dim: int
    output_dim: int
    freq_dim: int
    hidden_dim: int
    dropout_W: float
    dropout_U: float
    device: torch.device | str
    states: list[Any]
    def __init__(
        self,
        d_feat: int = 6,
        output_dim: int = 1,
        freq_dim: int = 10,
        hidden_size: int = 64,
        dropout_W: float = 0.0,
        dropout_U: float = 0.0,
        device: torch.device | str = "cpu",
    ) -> None:
        """Creates the nineteen parameters, activation, inner_activation and fc_out."""
    def init_states(self, x: torch.Tensor) -> None:
        """Puts the zero initial state into slots 0-4 of `states` (slots 5-7 None)."""
    def get_constants(self, x: torch.Tensor) -> None:
        """Puts the recurrent masks, input masks and frequency vector into slots 5-7."""
    def forward(self, input: torch.Tensor) -> torch.Tensor:
        """Scores of shape (N,) for input of shape (N, d_feat * T)."""

class SFM:
    """SFM Model"""

    print: Any
    d_feat: int
    hidden_size: int
    output_dim: int
    freq_dim: int
    dropout_W: float
    dropout_U: float
    n_epochs: int
    lr: float
    metric: str
    batch_size: int
    early_stop: int
    eval_steps: int
    optimizer: str
    loss: str
    device: torch.device
    seed: int | None
    sfm_model: SFM_Model
    train_optimizer: torch.optim.Optimizer
    fitted: bool
    verbose: bool
    history: list[dict[str, Any]]
    def __init__(
        self,
        d_feat: int = 6,
        hidden_size: int = 64,
        output_dim: int = 32,
        freq_dim: int = 25,
        dropout_W: float = 0.5,
        dropout_U: float = 0.5,
        n_epochs: int = 20,
        lr: float = 0.001,
        metric: str = "",
        batch_size: int = 1600,
        early_stop: int = 20,
        eval_steps: int = 5,
        loss: str = "mse",
        optimizer: str = "adam",
        GPU: Device = 0,
        seed: int | None = None,
        verbose: bool = True,
        **kwargs: Any,
    ) -> None:
        """Stores the settings, prints them, seeds, builds the network and the optimiser."""
    def mse(self, pred: torch.Tensor, label: torch.Tensor) -> torch.Tensor:
        """Mean of the squared differences."""
    @property
    def use_gpu(self) -> bool:
        """True when the device is not the CPU."""
    def loss_fn(self, pred: torch.Tensor, label: torch.Tensor) -> torch.Tensor:
        """Training loss over non-NaN labels."""
    def metric_fn(self, pred: torch.Tensor, label: torch.Tensor) -> torch.Tensor:
        """Validation score (higher is better) over finite labels."""
    def train_epoch(self, x_train: pd.DataFrame, y_train: pd.Series) -> None:
        """One pass of optimiser steps over shuffled full batches."""
    def test_epoch(self, data_x: pd.DataFrame, data_y: pd.Series) -> tuple[float, float]:
        """(mean loss, mean score), batches weighted by rows; unlabelled batches left out."""
    def fit(
        self, dataset1: tuple[pd.DataFrame, Splits], evals_result: dict[str, Any] = ...
    ) -> None:
        """Trains with early stopping on the validation split, restores and saves the best weights."""
    def predict(self, dataset1: pd.DataFrame) -> pd.Series:
        """One float32 score per row, as a Series with the input's index."""
    @property
    def features(self) -> dict[str, Any] | None:
        """How window_features built the training frame (window, fields, ...), else None."""
    def save(self, path: str | PathLike[str]) -> None:
        """Writes settings, weights, fitted width and feature build to one file, atomically."""
    @classmethod
    def load(cls, path: str | PathLike[str], GPU: Device = None) -> Self:
        """The model save(path) wrote, rebuilt without printing anything."""

class AverageMeter:
    """Computes and stores the average and current value"""

    val: Any
    avg: Any
    sum: Any
    count: Any
    def __init__(self) -> None:
        """Starts at zero."""
    def reset(self) -> None:
        """val, avg, sum and count back to 0."""
    def update(self, val: Any, n: Any = 1) -> None:
        """Records `val` with weight `n` and updates the running average."""
