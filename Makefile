# Two entry points for a new user on a fresh Debian machine:
#   make demo   installs what is missing, builds, installs into .venv, runs the demo
#   make test   the same set-up, then every C++ and Python test
#   make fuzz   (on demand) builds the libFuzzer targets with clang and runs
#               each for FUZZ_SECONDS on its committed corpus

PYTHON := /usr/bin/python3
VENV := .venv
VENV_PYTHON := $(VENV)/bin/python
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
APT_PACKAGES := g++ pkg-config meson ninja-build python3-dev python3-venv python3-numpy \
	python3-pytest python3-hypothesis python3-mesonpy python3-matplotlib libgtest-dev \
	libbenchmark-dev
# Only `make fuzz` needs these; the compiler and its runtime (which ships
# libFuzzer) must be the same version.
FUZZ_PACKAGES := clang-14 libclang-rt-14-dev
NATIVE_BUILD := build/native
FUZZ_BUILD := build/fuzz
FUZZ_TARGETS := search_fuzz cost_fuzz
FUZZ_SECONDS ?= 60

.PHONY: demo test deps fuzz-deps install cpp-test py-test fuzz bench clean

demo: install
	$(VENV_PYTHON) examples/demo.py

test: install cpp-test py-test

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

$(VENV_PYTHON): | deps
	$(PYTHON) -m venv --system-site-packages $(VENV)

# The way Python users install the package; the build directory is kept so
# that a second run only recompiles what changed.
install: deps $(VENV_PYTHON)
	mkdir -p build
	$(VENV_PYTHON) -m pip install --no-build-isolation --no-index --quiet \
		--config-settings=builddir=$(CURDIR)/build/py .

$(NATIVE_BUILD)/build.ninja: | deps
	meson setup $(NATIVE_BUILD) -Dpython=false -Dtests=true -Dbenchmarks=true

cpp-test: $(NATIVE_BUILD)/build.ninja
	ninja -C $(NATIVE_BUILD)
	meson test -C $(NATIVE_BUILD) --print-errorlogs

py-test: install
	cd tests/python && ../../$(VENV_PYTHON) -m pytest -q

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

clean:
	rm -rf build $(VENV)
