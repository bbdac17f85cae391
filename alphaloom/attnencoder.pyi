"""Encoder-only Transformer return forecaster."""
from os import PathLike
from typing import Any, Self

import pandas as pd
import torch

# GPU: an integer (CUDA device number, CPU when CUDA is absent or < 0), "cpu", "cuda", "cuda:N" or
# a torch.device.
Device = int | str | torch.device | None
# dataset1[1]: two selector texts, two DataFrames with the frame's columns, or two index selections.
Splits = tuple[str, str] | tuple[pd.DataFrame, pd.DataFrame] | tuple[Any, Any]

class PositionalEncoding(torch.nn.Module):
    """Sinusoidal positional encoding added to sequence-first inputs."""

    def __init__(self, d_model: int, max_len: int = 1000) -> None:
        """Builds the (max_len, 1, d_model) buffer `pe`."""
    def forward(self, x: torch.Tensor) -> torch.Tensor:
        """x + pe[:T] for x of shape (T, N, d_model)."""

class Transformer(torch.nn.Module):
    """Encoder-only Transformer mapping rows of d_feat x T feature-major columns to one score."""

    d_feat: int
    def __init__(
        self,
        d_feat: int = 6,
        d_model: int = 8,
        nhead: int = 4,
        num_layers: int = 2,
        dropout: float = 0.5,
        device: torch.device | str | None = None,
        dim_feedforward: int = 2048,
    ) -> None:
        """Builds feature_layer, pos_encoder, encoder_layer, transformer_encoder, decoder_layer."""
    def forward(self, src: torch.Tensor) -> torch.Tensor:
        """Scores of shape (N,) for src of shape (N, d_feat * T)."""

class TransformerModel:
    """Transformer forecaster: fit with early stopping, predict scores."""

    print: Any
    d_model: int
    dropout: float
    n_epochs: int
    lr: float
    reg: float
    metric: str
    batch_size: int
    early_stop: int
    optimizer: str
    loss: str
    n_jobs: int
    device: torch.device
    seed: int | None
    model: Transformer
    train_optimizer: torch.optim.Optimizer
    fitted: bool
    verbose: bool
    history: list[dict[str, Any]]
    def __init__(
        self,
        d_feat: int = 6,
        d_model: int = 64,
        batch_size: int = 2048,
        nhead: int = 2,
        num_layers: int = 2,
        dropout: float = 0.0,
        n_epochs: int = 100,
        lr: float = 0.0001,
        metric: str = "",
        early_stop: int = 20,
        loss: str = "mse",
        optimizer: str = "adam",
        reg: float = 0.001,
        n_jobs: int = 10,
        GPU: Device = 0,
        seed: int | None = None,
        dim_feedforward: int = 2048,
        verbose: bool = True,
        **kwargs: Any,
    ) -> None:
        """Stores the settings, prints the header, seeds, builds the network and the optimiser."""
    def mse(self, pred: torch.Tensor, label: torch.Tensor) -> torch.Tensor:
        """Mean squared error in float32."""
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
    def predict(self, dataset1: pd.DataFrame) -> pd.DataFrame:
        """One float32 score per row, as a one-column DataFrame with the input's index."""
    @property
    def features(self) -> dict[str, Any] | None:
        """How window_features built the training frame (window, fields, ...), else None."""
    def save(self, path: str | PathLike[str]) -> None:
        """Writes settings, weights, fitted width and feature build to one file, atomically."""
    @classmethod
    def load(cls, path: str | PathLike[str], GPU: Device = None) -> Self:
        """The model save(path) wrote, rebuilt without printing anything."""
