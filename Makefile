# make test: install what is missing, build, run every C++ and Python test.
# make demo: install what is missing, build the module only, run the main example on ./data.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV ?= .venv
BUILD ?= build
BUILD_SANITIZE ?= build-asan
BUILD_FUZZ ?= build-fuzz
# libFuzzer needs clang; 19 is the first Debian clang whose C++23 mode enables libstdc++'s
# std::expected.
FUZZ_CLANG ?= clang++-19
FUZZ_APT_PACKAGES := clang-19 libclang-rt-19-dev
FUZZ_SECONDS ?= 60
FUZZ_CI_RUNS ?= 100000
FUZZ_TARGETS ?=
PYTHON := $(abspath $(VENV))/bin/python
CMAKE := $(abspath $(VENV))/bin/cmake
APT_PACKAGES := nlohmann-json3-dev libtbb-dev libopenblas-dev libgtest-dev g++
PYTEST_ARGS ?= -q

.PHONY: test demo bench build deps system-deps test-cpp test-python test-sanitize clean \
  fuzz-deps fuzz-build fuzz fuzz-ci

system-deps:
	@missing=$$(for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing $$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

$(VENV)/.installed: requirements-dev.txt
	test -x $(PYTHON) || python3 -m venv $(VENV)
	$(PYTHON) -m pip install -q --disable-pip-version-check -r requirements-dev.txt
	touch $@

deps: system-deps $(VENV)/.installed

$(BUILD)/build.ninja: | deps
	$(CMAKE) -S . -B $(BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DPython_EXECUTABLE=$(PYTHON)

build: deps $(BUILD)/build.ninja
	$(CMAKE) --build $(BUILD)

test-cpp: build
	cd $(BUILD) && $(abspath $(VENV))/bin/ctest --output-on-failure -j2

test-python: build
	PYTHONPATH=$(abspath $(BUILD))/python $(PYTHON) -m pytest $(PYTEST_ARGS) tests

test: test-cpp test-python

$(BUILD_SANITIZE)/build.ninja: | deps
	$(CMAKE) -S . -B $(BUILD_SANITIZE) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTVDB_SANITIZE=ON -DPython_EXECUTABLE=$(PYTHON)

# Any sanitizer report ends the test binary with a failure (UBSan does not recover, ASan
# aborts on its first report, LeakSanitizer fails the exit status at the end).
SANITIZER_ENV := ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# The Python suite runs against the sanitized module with the sanitizer runtimes preloaded
# into the interpreter (which is not built with them). Leak checking stays off there: the
# interpreter keeps objects alive until exit by design. Crash and stress tests run shorter.
SANITIZER_PRELOAD = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libubsan.so)
PYTHON_SANITIZER_ENV := LD_PRELOAD="$(SANITIZER_PRELOAD)" \
  ASAN_OPTIONS=abort_on_error=1:detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  TVDB_CRASH_SECONDS=10 TVDB_STRESS_SECONDS=4

# The cluster tests stay out: Ray's worker processes would start with the sanitizer runtimes
# preloaded, and the shards run the same module the rest of the suite checks.
test-sanitize: deps $(BUILD_SANITIZE)/build.ninja
	$(CMAKE) --build $(BUILD_SANITIZE)
	cd $(BUILD_SANITIZE) && $(SANITIZER_ENV) $(abspath $(VENV))/bin/ctest --output-on-failure -j2
	$(PYTHON_SANITIZER_ENV) PYTHONPATH=$(abspath $(BUILD_SANITIZE))/python \
	  $(PYTHON) -m pytest $(PYTEST_ARGS) --ignore=tests/test_cluster.py tests

fuzz-deps: deps
	@missing=$$(for p in $(FUZZ_APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing $$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

$(BUILD_FUZZ)/build.ninja: | fuzz-deps
	$(CMAKE) -S . -B $(BUILD_FUZZ) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_CXX_COMPILER=$(FUZZ_CLANG) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTVDB_FUZZ=ON \
	  -DTVDB_BUILD_TESTS=OFF -DTVDB_BUILD_PYTHON=OFF

fuzz-build: fuzz-deps $(BUILD_FUZZ)/build.ninja
	$(CMAKE) --build $(BUILD_FUZZ)

# Every target for FUZZ_SECONDS (FUZZ_TARGETS="a_fuzz b_fuzz" picks some); the corpus grows
# in $(BUILD_FUZZ)/corpus across runs, reproducers land in $(BUILD_FUZZ)/artifacts.
fuzz: fuzz-build
	fuzz/run.sh $(BUILD_FUZZ) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

fuzz-ci: fuzz-build
	fuzz/run.sh $(BUILD_FUZZ) runs:$(FUZZ_CI_RUNS) $(FUZZ_TARGETS)

# The demo needs only the module (the cluster package is copied beside it when the build is
# configured), so a first `make demo` compiles no test.
demo: deps $(BUILD)/build.ninja
	$(CMAKE) --build $(BUILD) --target tolvane_vector_db
	PYTHONPATH=$(abspath $(BUILD))/python $(PYTHON) examples/demo.py

$(VENV)/.bench-installed: requirements-bench.txt $(VENV)/.installed
	$(PYTHON) -m pip install -q --disable-pip-version-check -r requirements-bench.txt
	touch $@

bench: build $(VENV)/.bench-installed
	PYTHONPATH=$(abspath $(BUILD))/python $(PYTHON) bench/run.py $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) $(BUILD_SANITIZE) $(BUILD_FUZZ)
