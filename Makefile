# Two entry points for a new user on a fresh Debian machine:
#   make demo   installs what is missing, builds, installs into .venv, runs the demo
#   make test   the same set-up, then every C++ and Python test

PYTHON := /usr/bin/python3
VENV := .venv
VENV_PYTHON := $(VENV)/bin/python
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
APT_PACKAGES := g++ pkg-config meson ninja-build python3-dev python3-venv python3-numpy \
	python3-pytest python3-mesonpy python3-matplotlib python3-tqdm python3-distributed \
	libgtest-dev libbenchmark-dev
NATIVE_BUILD := build/native

.PHONY: demo test deps install cpp-test py-test bench clean

demo: install
	$(VENV_PYTHON) examples/demo.py

test: install cpp-test py-test

deps:
	@missing=$$(for p in $(APT_PACKAGES); do \
		dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
		echo "Installing Debian packages:" $$missing; \
		$(SUDO) apt-get update && $(SUDO) apt-get install -y $$missing; \
	fi

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

bench: install $(NATIVE_BUILD)/build.ninja
	ninja -C $(NATIVE_BUILD)
	$(VENV_PYTHON) bench/run.py $(NATIVE_BUILD)

clean:
	rm -rf build $(VENV)
