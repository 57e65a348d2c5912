# Two entry points for a new user on a fresh Debian machine:
#   make demo   installs what is missing, builds, installs into .venv, runs the demo
#   make test   the same set-up, then every C++ and Python test and the docs checks
#   make docs   the documentation site, into docs/_build/html
#   make fuzz   (on demand) builds the libFuzzer targets with clang and runs
#               each for FUZZ_SECONDS on its committed corpus

PYTHON := /usr/bin/python3
VENV := .venv
VENV_PYTHON := $(VENV)/bin/python
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
APT_PACKAGES := g++ pkg-config meson ninja-build python3-dev python3-venv python3-numpy \
	python3-pytest python3-hypothesis python3-mesonpy python3-matplotlib python3-tqdm \
	python3-distributed python3-pandas mypy libgtest-dev libbenchmark-dev
# `make docs` and the docs checks of `make test` need these.
DOCS_PACKAGES := python3-sphinx python3-numpydoc python3-sphinx-gallery \
	python3-pydata-sphinx-theme python3-myst-parser
# Only `make fuzz` needs these; the compiler and its runtime (which ships
# libFuzzer) must be the same version.
FUZZ_PACKAGES := clang-14 libclang-rt-14-dev
NATIVE_BUILD := build/native
FUZZ_BUILD := build/fuzz
FUZZ_TARGETS := search_fuzz cost_fuzz
FUZZ_SECONDS ?= 60

.PHONY: demo test deps fuzz-deps install cpp-test py-test fuzz bench clean test-asan \
	asan-cpp-test asan-install asan-py-test test-tsan docs-deps docs docs-test

demo: install
	$(VENV_PYTHON) examples/demo.py

test: install cpp-test py-test docs-test

# Installs whichever of $(1) are missing.
define apt_install
@missing=$$(for p in $(1); do \
		dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
		echo "Installing Debian packages:" $$missing; \
		$(SUDO) apt-get update && $(SUDO) apt-get install -y $$missing; \
	fi
endef

deps:
	$(call apt_install,$(APT_PACKAGES))

fuzz-deps: deps
	$(call apt_install,$(FUZZ_PACKAGES))

docs-deps: deps
	$(call apt_install,$(DOCS_PACKAGES))

$(VENV_PYTHON): | deps
	$(PYTHON) -m venv --system-site-packages $(VENV)

# meson-python keeps its native file (naming the interpreter) in the source
# tree, shared by every virtual environment, and re-configures instead of
# configuring whenever the file already names this interpreter. That fails on a
# build directory that does not exist yet (after `make clean`, say), so a
# missing build directory also drops the file.
fresh_build = [ -f $(1)/build.ninja ] || rm -f .mesonpy-native-file.ini

# The way Python users install the package; the build directory is kept so
# that a second run only recompiles what changed.
install: deps $(VENV_PYTHON)
	mkdir -p build
	$(call fresh_build,build/py)
	$(VENV_PYTHON) -m pip install --no-build-isolation --no-index --quiet \
		--config-settings=builddir=$(CURDIR)/build/py .

$(NATIVE_BUILD)/build.ninja: | deps
	meson setup $(NATIVE_BUILD) -Dpython=false -Dtests=true -Dbenchmarks=true

cpp-test: $(NATIVE_BUILD)/build.ninja
	ninja -C $(NATIVE_BUILD)
	meson test -C $(NATIVE_BUILD) --print-errorlogs

py-test: install
	cd tests/python && ../../$(VENV_PYTHON) -m pytest -q

# The API pages and the gallery import the installed package, so Sphinx runs
# under the virtual environment's interpreter. Any warning fails the build.
docs: docs-deps install
	$(VENV_PYTHON) -m sphinx -W --keep-going -q -b html docs docs/_build/html
	@echo "The site: docs/_build/html/index.html"

# Builds the site on its own (in a temporary directory) and checks it.
docs-test: docs-deps install
	cd tests/docs && ../../$(VENV_PYTHON) -m pytest -q

# libFuzzer needs its coverage hooks in the core too, hence fuzzer-no-link on
# every object; UBSan reports abort so that libFuzzer keeps the input.
$(FUZZ_BUILD)/build.ninja: | fuzz-deps
	CXX=clang++-14 meson setup $(FUZZ_BUILD) -Dpython=false -Dtests=false -Dbenchmarks=false \
		-Dfuzz=true --buildtype=debugoptimized -Db_sanitize=address,undefined -Db_lundef=false \
		-Dcpp_args='-fsanitize=fuzzer-no-link -fno-sanitize-recover=all'

# New inputs go to a scratch directory; the committed corpus is only read.
# To grow it: merge the scratch inputs in with -merge=1 (see fuzz/README.md).
fuzz: $(FUZZ_BUILD)/build.ninja
	ninja -C $(FUZZ_BUILD)
	@for t in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_BUILD)/new/$$t $(FUZZ_BUILD)/artifacts; \
		echo "== $$t for $(FUZZ_SECONDS) s"; \
		$(FUZZ_BUILD)/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 -max_len=4096 -len_control=0 \
			-artifact_prefix=$(FUZZ_BUILD)/artifacts/$$t- -print_final_stats=1 \
			$(FUZZ_BUILD)/new/$$t fuzz/corpus/$$t 2>$(FUZZ_BUILD)/$$t.log \
			|| { tail -n 60 $(FUZZ_BUILD)/$$t.log; exit 1; }; \
		grep -E '^(Done|stat::number_of_executed_units)' $(FUZZ_BUILD)/$$t.log; \
	done

bench: install $(NATIVE_BUILD)/build.ninja
	ninja -C $(NATIVE_BUILD)
	$(VENV_PYTHON) bench/run.py $(NATIVE_BUILD)

# Sanitizer runs. Each has its own build directory (and the Python one its own
# virtual environment), so they never rebuild the ordinary build. The flags go
# in through CXXFLAGS/LDFLAGS, which meson and meson-python both read at set-up
# and place after their own -O level; the project's -ffp-contract=off still
# applies. -O1 -g1 keeps the builds quick and the reports readable.
SAN := -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all
SAN_ENV := CXXFLAGS='-O1 -g1 $(SAN)' LDFLAGS='$(SAN)'
TSAN := -fsanitize=thread -fno-omit-frame-pointer
TSAN_ENV := CXXFLAGS='-O1 -g1 $(TSAN)' LDFLAGS='$(TSAN)'
ASAN_NATIVE := build/asan-native
ASAN_PY_BUILD := build/asan-py
ASAN_VENV := .venv-asan
TSAN_NATIVE := build/tsan-native
# The tests that drive the worker pool: the pool itself, the layer fill, and
# the control that stops searches on it.
POOL_TESTS := *WorkerPool*:*PoolSize*:*ThreadCountText*:*Dynp*:*EverySearch*:*Ticker*
# The interpreter is not built with ASan, so the runtime must come first; and
# it links no C++ runtime, so that one comes second: ASan's interceptor of
# C++ throws looks for it when it starts, and a search stopped by its control
# unwinds with an exception.
ASAN_RUNTIME = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)

test-asan: asan-cpp-test asan-py-test

$(ASAN_NATIVE)/build.ninja: | deps
	$(SAN_ENV) meson setup $(ASAN_NATIVE) -Dpython=false -Dtests=true -Dbuildtype=plain

# Leak checking stays on for the C++ tests.
asan-cpp-test: $(ASAN_NATIVE)/build.ninja
	ninja -C $(ASAN_NATIVE)
	ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:strict_init_order=1 \
		UBSAN_OPTIONS=print_stacktrace=1 $(ASAN_NATIVE)/tests/cpp/core_tests --gtest_brief=1

$(ASAN_VENV)/bin/python: | deps
	$(PYTHON) -m venv --system-site-packages $(ASAN_VENV)

asan-install: $(ASAN_VENV)/bin/python
	mkdir -p build
	$(call fresh_build,$(ASAN_PY_BUILD))
	$(SAN_ENV) $(ASAN_VENV)/bin/python -m pip install \
		--no-build-isolation --no-index --quiet --config-settings=builddir=$(CURDIR)/$(ASAN_PY_BUILD) .

# PYTHONMALLOC=malloc hands every Python object to ASan too, so a reference
# dropped once too often shows up as a use after free. The interpreter's own
# allocations are not ours to check for leaks. --capture=sys leaves the file
# descriptors alone, so a report reaches the terminal even when it ends pytest.
asan-py-test: asan-install
	cd tests/python && LD_PRELOAD='$(ASAN_RUNTIME)' PYTHONMALLOC=malloc \
		ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
		../../$(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider --capture=sys

$(TSAN_NATIVE)/build.ninja: | deps
	$(TSAN_ENV) meson setup $(TSAN_NATIVE) -Dpython=false -Dtests=true -Dbuildtype=plain

test-tsan: $(TSAN_NATIVE)/build.ninja
	ninja -C $(TSAN_NATIVE)
	TSAN_OPTIONS=halt_on_error=1:die_after_fork=0 \
		$(TSAN_NATIVE)/tests/cpp/core_tests --gtest_brief=1 --gtest_filter='$(POOL_TESTS)'

clean:
	rm -rf build $(VENV) $(ASAN_VENV) .mesonpy-native-file.ini \
		docs/_build docs/api/generated docs/auto_examples
