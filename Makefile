# `make test` and `make demo` set everything up on a fresh machine, then run.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
CPP_BUILD := build/cpp
# What building and running ornik needs (all that `make demo` installs), then the tools of
# the tests, the lint and the benchmarks.
RUN_DEPS := numpy scikit-learn pandas scikit-build-core ninja cmake
DEV_DEPS := pytest ruff clang-format matplotlib "dask[distributed]" hypothesis pyarrow \
  shap onnx skl2onnx onnxruntime
DEV := $(VENV)/.dev
CXX_SOURCES = src/*.cpp src/*.hpp src/python/*.cpp src/python/*.hpp tests/cpp/*.cpp tests/fuzz/*.cpp tests/fuzz/*.hpp

.PHONY: test demo lint format install cpp-test py-test system-deps clean

$(VENV)/.ready: pyproject.toml Makefile
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(RUN_DEPS)
	touch $@

$(DEV): $(VENV)/.ready
	$(VPY) -m pip install -q $(DEV_DEPS)
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
py-test: install $(DEV)
	$(VENV)/bin/pytest -q tests/python

test: cpp-test py-test

demo: install
	$(VPY) -m ornik demo

# Full benchmark against scikit-learn and LightGBM (LightGBM is optional: skipped if its install
# fails). BENCH_ARGS passes options through, e.g. `make bench BENCH_ARGS=--quick`.
BENCH_ARGS ?=
.PHONY: bench
bench: install $(DEV)
	-$(VPY) -m pip install -q lightgbm
	$(VPY) bench/run.py $(BENCH_ARGS)
	$(VPY) bench/threads.py

# Quality benchmark: held-out error and tree size against scikit-learn's trees on data sets that
# ship inside PyPI packages, plus noise and known-tree controls; writes bench/QUALITY.md.
# QUALITY_ARGS passes options through, e.g. `make quality QUALITY_ARGS=--quick`.
QUALITY_ARGS ?=
.PHONY: quality
quality: install $(DEV)
	$(VPY) -m pip install -q scipy statsmodels palmerpenguins
	$(VPY) bench/quality.py $(QUALITY_ARGS)

lint: $(DEV)
	$(VENV)/bin/ruff check ornik tests bench
	$(VENV)/bin/ruff format --check ornik tests bench
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)

format: $(DEV)
	$(VENV)/bin/ruff format ornik tests bench
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

clean:
	rm -rf build $(VENV)

# ---- Hardening: sanitized suites, fuzzing of the tree import, the wheel's ABI. ----
.PHONY: test-sanitize fuzz wheel-check
ASAN_BUILD := build/asan
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_CXX := clang++-14
WHEEL_CHECK := build/wheel-check
NUMPY_OLDEST := numpy==1.23.5
WHEEL_TEST_DEPS := scikit-learn pytest pandas hypothesis matplotlib "dask[distributed]"
# The interpreter itself is not instrumented: the ASan runtime is preloaded, with the C++ runtime
# so that ASan can intercept exceptions thrown in the extension. CPython frees little at exit, so
# leaks are checked in the C++ tests only; an unallocatable size is a MemoryError as without ASan.
ASAN_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)
SANITIZER_ENV := UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
PY_ASAN_ENV = LD_PRELOAD="$(ASAN_PRELOAD)" ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
  $(SANITIZER_ENV) PYTHONPATH=$(abspath $(ASAN_BUILD))/pkg

# The C++ and Python suites against an ASan + UBSan build of the core, the tests and the extension.
test-sanitize: system-deps $(DEV)
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORNIK_SANITIZE=ON
	$(VENV)/bin/cmake --build $(ASAN_BUILD)
	ASAN_OPTIONS=detect_leaks=1 $(SANITIZER_ENV) $(VENV)/bin/ctest --test-dir $(ASAN_BUILD) --output-on-failure
	$(PY_ASAN_ENV) $(VPY) -c "import ornik._ornik as m; assert '$(ASAN_BUILD)/pkg' in m.__file__, m.__file__"
	$(PY_ASAN_ENV) $(VENV)/bin/pytest -q tests/python

# libFuzzer on the tree import for FUZZ_SECONDS, from seeds that the C++ tests write.
fuzz: cpp-test
	@if ! command -v $(FUZZ_CXX) >/dev/null || ! dpkg -s libclang-rt-14-dev >/dev/null 2>&1; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev; \
	  else \
	    echo "clang-14 and libclang-rt-14-dev are missing: install them"; exit 1; \
	  fi; \
	fi
	$(VENV)/bin/cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORNIK_BUILD_FUZZ=ON \
	  -DORNIK_BUILD_MODULE=OFF -DORNIK_BUILD_TESTS=OFF
	$(VENV)/bin/cmake --build $(FUZZ_BUILD) --target tree_import_fuzz
	rm -rf $(FUZZ_BUILD)/seeds
	ORNIK_FUZZ_SEEDS=$(abspath $(FUZZ_BUILD))/seeds $(CPP_BUILD)/ornik_tests --gtest_filter='FuzzCodec.*'
	mkdir -p $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/findings
	$(FUZZ_BUILD)/tree_import_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=16384 -timeout=10 \
	  -print_final_stats=1 -artifact_prefix=$(abspath $(FUZZ_BUILD))/findings/ \
	  $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/seeds

# The abi3 wheel: built, audited for symbols outside the stable ABI, then installed into clean
# virtual environments with the oldest and the newest NumPy, where the Python tests run against
# it (from a folder where the source tree's ornik/ is not importable).
wheel-check: $(VENV)/.ready
	rm -rf dist $(WHEEL_CHECK)
	$(VPY) -m pip wheel . -w dist --no-deps
	$(VPY) -m pip install -q abi3audit
	$(VENV)/bin/abi3audit --strict --report dist/ornik-*.whl
	@for numpy in "$(NUMPY_OLDEST)" numpy; do \
	  env=$(WHEEL_CHECK)/$$(echo "$$numpy" | tr -c 'a-z0-9.\n' _); \
	  echo "== $$numpy"; \
	  $(PYTHON) -m venv $$env && \
	  $$env/bin/pip install -q dist/ornik-*.whl "$$numpy" $(WHEEL_TEST_DEPS) && \
	  $$env/bin/python -c "import numpy, ornik._ornik as m; print('numpy', numpy.__version__, m.__file__)" && \
	  (cd $(WHEEL_CHECK) && $(abspath $(WHEEL_CHECK))/$$(basename $$env)/bin/pytest -q -p no:cacheprovider \
	    $(abspath tests/python)) || exit 1; \
	done
