# `make test` and `make demo` set everything up on a fresh machine, then run.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
CPP_BUILD := build/cpp
PY_DEPS := numpy scikit-learn pytest pandas ruff scikit-build-core ninja cmake matplotlib "dask[distributed]"

.PHONY: test demo lint format install cpp-test py-test system-deps clean

$(VENV)/.ready: pyproject.toml Makefile
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(PY_DEPS)
	touch $@

# GoogleTest comes from Debian's packages; install it when missing and we are root.
system-deps:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; \
	  else \
	    echo "libgtest-dev is missing: install it (apt-get install libgtest-dev)"; exit 1; \
	  fi; \
	fi

# Builds the abi3 wheel and installs it into the virtual environment.
install: $(VENV)/.ready
	$(VPY) -m pip install -q --no-build-isolation --no-deps --force-reinstall .

cpp-test: system-deps $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DORNIK_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure

# Runs against the installed package: the pytest script (not `python -m`) keeps the source
# tree off sys.path.
py-test: install
	$(VENV)/bin/pytest -q tests/python

test: cpp-test py-test

demo: install
	$(VPY) -m ornik demo

# Full benchmark against scikit-learn and LightGBM (LightGBM is optional: skipped if its install
# fails). BENCH_ARGS passes options through, e.g. `make bench BENCH_ARGS=--quick`.
BENCH_ARGS ?=
.PHONY: bench
bench: install
	-$(VPY) -m pip install -q lightgbm
	$(VPY) bench/run.py $(BENCH_ARGS)

lint: $(VENV)/.ready
	$(VENV)/bin/ruff check ornik tests bench
	$(VENV)/bin/ruff format --check ornik tests bench
	@if command -v clang-format >/dev/null; then \
	  clang-format --dry-run --Werror src/*.cpp src/*.hpp src/python/*.cpp src/python/*.hpp tests/cpp/*.cpp; \
	else echo "clang-format not installed; skipping C++ format check"; fi

format: $(VENV)/.ready
	$(VENV)/bin/ruff format ornik tests bench
	@if command -v clang-format >/dev/null; then \
	  clang-format -i src/*.cpp src/*.hpp src/python/*.cpp src/python/*.hpp tests/cpp/*.cpp; fi

clean:
	rm -rf build $(VENV)
