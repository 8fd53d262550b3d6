# Entry points: `make test`, `make demo`, `make bench` (and `make test-asan`,
# `make soak`, `make fuzz`).
# Each creates the virtual environment from Python 3.13 on first use, installs
# what it needs once, and rebuilds the extension modules incrementally.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV ?= .venv
BUILD ?= build/release
PYTEST_ARGS ?= -q
CMAKE_DEFINES ?=
export CMAKE_BUILD_PARALLEL_LEVEL ?= 2

PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
SOURCES := CMakeLists.txt pyproject.toml $(shell find core host -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name '*.typed' \) -not -path 'host/python/standins/*' 2>/dev/null)
STANDINS := $(shell find host/python/standins -type f \( -name '*.py' -o -name '*.toml' \) 2>/dev/null)

.PHONY: test demo bench install test-asan soak fuzz clean

$(VENV)/.deps: scripts/find-python313
	@python=$$(scripts/find-python313) && echo "creating $(VENV) with $$python" && "$$python" -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install "scikit-build-core>=0.10" cmake ninja setuptools wheel \
	    natsort frozendict pytest hypothesis
	@touch $@

$(VENV)/.standins: $(VENV)/.deps $(STANDINS)
	$(PIP) install --no-build-isolation --no-deps --force-reinstall ./host/python/standins
	@rm -rf host/python/standins/build host/python/standins/*.egg-info
	@touch $@

$(VENV)/.korvane: $(VENV)/.deps $(SOURCES)
	$(PIP) install --no-build-isolation --no-deps --force-reinstall \
	    -Cbuild-dir=$(BUILD) $(CMAKE_DEFINES) .
	@touch $@

# mypy, for the stub checks of the test suite (stubtest and a typed use of the API).
$(VENV)/.typing: $(VENV)/.deps
	$(PIP) install mypy
	@touch $@

install: $(VENV)/.standins $(VENV)/.korvane

# KORVANE_BUILD_DIR lets the wheel test reuse this build tree.
test: install $(VENV)/.typing
	cd tests && KORVANE_BUILD_DIR="$(abspath $(BUILD))" ../$(PY) -m pytest $(PYTEST_ARGS)

demo: install
	$(PY) examples/demo.py

# The peer readers of the benchmark come from the package registry.
BENCH_PEERS := spicelib PySpice eda-netlist-parser
bench: install
	@$(PY) -c "import spicelib, PySpice, netlist_parser" 2>/dev/null || $(PIP) install $(BENCH_PEERS)
	$(PY) bench/run.py
	$(PY) bench/complexity.py

# The modules built with AddressSanitizer and UndefinedBehaviorSanitizer, and
# the whole suite run against them. The interpreter is not instrumented, so the
# sanitizer runtimes (they come with the compiler) are preloaded; its objects
# go through malloc (PYTHONMALLOC=malloc) so that a reference released too
# early shows as a use after free; leak detection is off, since the
# interpreter does not free everything at exit. Every report is written to
# $(SANITIZER_LOGS) (child processes included) and fails the target.
SANITIZER_LOGS := $(abspath build/asan/sanitizer-reports)
SANITIZER_ENV := PYTHONMALLOC=malloc \
    LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0:log_path=$(SANITIZER_LOGS)/asan \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(SANITIZER_LOGS)/ubsan

test-asan:
	$(MAKE) install .venv-asan/.typing VENV=.venv-asan BUILD=build/asan \
	    CMAKE_DEFINES="-Ccmake.define.KORVANE_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo"
	@rm -rf $(SANITIZER_LOGS) && mkdir -p $(SANITIZER_LOGS)
	cd tests && $(SANITIZER_ENV) ../.venv-asan/bin/python -m pytest $(PYTEST_ARGS) -p no:cacheprovider; \
	    status=$$?; \
	    reports=$$(find $(SANITIZER_LOGS) -type f | wc -l); \
	    find $(SANITIZER_LOGS) -type f -exec cat {} +; \
	    echo "sanitizer reports: $$reports"; \
	    test $$status -eq 0 && test $$reports -eq 0

# The long soak (every operation tens of thousands of times), the hostile
# sizes at full scale and the database killed at every statement of its
# update; prints the figures.
soak: install
	KORVANE_LOG_LEVEL=ERROR $(PY) tools/soak.py
	cd tests && KORVANE_BIG=1 ../$(PY) -m pytest reliability/test_hostile.py reliability/test_database.py \
	    -q -s -p no:cacheprovider

# The property tests of the SPICE import with a budget of minutes.
FUZZ_MINUTES ?= 5
fuzz: install
	$(PY) tools/fuzz.py --minutes $(FUZZ_MINUTES)

clean:
	rm -rf build .venv .venv-asan
