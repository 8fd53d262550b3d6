# Entry points: `make test`, `make demo`, `make bench` (and `make test-asan`).
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

.PHONY: test demo bench install test-asan clean

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

# The peer parser of the benchmark comes from the package registry.
bench: install
	@$(PY) -c "import spicelib" 2>/dev/null || $(PIP) install spicelib
	$(PY) bench/run.py

# The modules built with AddressSanitizer and UndefinedBehaviorSanitizer, and
# the whole suite run against them.
test-asan:
	$(MAKE) install VENV=.venv-asan BUILD=build/asan \
	    CMAKE_DEFINES="-Ccmake.define.KORVANE_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo"
	cd tests && LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    ../.venv-asan/bin/python -m pytest $(PYTEST_ARGS) -p no:cacheprovider

clean:
	rm -rf build .venv .venv-asan
