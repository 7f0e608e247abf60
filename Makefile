PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
JOBS ?= $(shell nproc)
BUILD_DEPS := scikit-build-core nanobind numpy pytest hypothesis

.PHONY: venv install test cpptest pytest sanitize format clean

$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(BUILD_DEPS)
	touch $@

venv: $(VENV)/.ready

install: venv
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPY) -m pip install -q --no-build-isolation ".[test]"

# GoogleTest comes from Debian's libgtest-dev; it is installed only when missing.
gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  SUDO=$$( [ "$$(id -u)" -eq 0 ] || echo sudo ); \
	  $$SUDO apt-get install -y -q libgtest-dev >/dev/null 2>&1 || \
	  { $$SUDO apt-get update -q >/dev/null && $$SUDO apt-get install -y -q libgtest-dev >/dev/null; }; \
	fi

cpptest: gtest
	cmake -S . -B build/cpp -DGRIDWEAVE_PYTHON=OFF -DGRIDWEAVE_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/cpp -j $(JOBS)
	ctest --test-dir build/cpp --output-on-failure -j $(JOBS)

pytest: install
	$(VPY) -m pytest -q tests

test: cpptest pytest

format:
	clang-format -i $$(git ls-files 'src/*.hpp' 'src/*.cpp' 'tests/*.cpp' 'bench/*.cpp')

clean:
	rm -rf build $(VENV)
