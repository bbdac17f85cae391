"""alphaloom: stock-return forecasters (attnencoder, dualstream, wavecell) and a random factor
miner (factorsearch), each a C++ extension module.

``from alphaloom import factorsearch`` gives the same module object as ``import factorsearch``;
the modules are imported on first use, so ``import alphaloom`` alone stays light.
"""
from __future__ import annotations

import importlib
import pathlib
import re
from importlib import metadata
from typing import TYPE_CHECKING, Any

MODULES = ("attnencoder", "dualstream", "wavecell", "factorsearch")
# Functions of the forecasting path, reachable as alphaloom.<name> (their module is imported on
# first use, like the modules themselves).
FUNCTIONS = {
    "window_features": "factorsearch", "split_dates": "factorsearch", "check_split": "factorsearch",
}

if TYPE_CHECKING:
    from . import attnencoder as attnencoder
    from . import dualstream as dualstream
    from . import factorsearch as factorsearch
    from . import wavecell as wavecell
    from .factorsearch import check_split as check_split
    from .factorsearch import split_dates as split_dates
    from .factorsearch import window_features as window_features


def _checkout_version() -> str | None:
    """The version in pyproject.toml when running from a source checkout."""
    pyproject = pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml"
    try:
        text = pyproject.read_text(encoding="utf-8")
    except OSError:
        return None
    project = re.search(r"^\[project\]\s*$(.*?)(?=^\[|\Z)", text, re.M | re.S)
    if project is None or not re.search(r'^name\s*=\s*"alphaloom"\s*$', project.group(1), re.M):
        return None
    found = re.search(r'^version\s*=\s*"([^"]+)"\s*$', project.group(1), re.M)
    return found.group(1) if found else None


def _version() -> str:
    # The checkout first: an older installed copy must not speak for the source being run.
    checkout = _checkout_version()
    if checkout is not None:
        return checkout
    try:
        return metadata.version("alphaloom")
    except metadata.PackageNotFoundError:
        return "0+unknown"


__version__ = _version()
__all__ = ["__version__", *MODULES, *FUNCTIONS]


def __getattr__(name: str) -> Any:
    if name in MODULES:
        return importlib.import_module(f"{__name__}.{name}")
    if name in FUNCTIONS:
        return getattr(importlib.import_module(f"{__name__}.{FUNCTIONS[name]}"), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted([*globals(), *MODULES, *FUNCTIONS])
