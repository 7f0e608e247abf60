PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
JOBS ?= $(shell nproc)
BUILD_DEPS := scikit-build-core nanobind numpy pytest hypothesis
# Pinned so that the lint and format checks do not change under a new release.
LINT_DEPS := ruff==0.17.* clang-format==23.1.*
# Development and CI builds treat warnings as errors; a plain `pip install` does not.
WERROR ?= ON
CMAKE_WERROR := -DGRIDWEAVE_WERROR=$(WERROR)
PIP_WERROR := -C cmake.define.GRIDWEAVE_WERROR=$(WERROR)
CXX_SOURCES = $$(git ls-files 'src/*.hpp' 'src/*.cpp' 'tests/*.cpp' 'tests/*.hpp' 'bench/*.cpp')

.PHONY: demo venv install test cpptest pytest typecheck lint sanitize tsan gtest format clean

$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(BUILD_DEPS) $(LINT_DEPS)
	touch $@

venv: $(VENV)/.ready

install: venv
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPY) -m pip install -q --no-build-isolation $(PIP_WERROR) ".[test,distributed]"

# GoogleTest comes from Debian's libgtest-dev; it is installed only when missing.
gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  SUDO=$$( [ "$$(id -u)" -eq 0 ] || echo sudo ); \
	  $$SUDO apt-get install -y -q libgtest-dev >/dev/null 2>&1 || \
	  { $$SUDO apt-get update -q >/dev/null && $$SUDO apt-get install -y -q libgtest-dev >/dev/null; }; \
	fi

cpptest: gtest
	cmake -S . -B build/cpp -DGRIDWEAVE_PYTHON=OFF -DGRIDWEAVE_TESTS=ON $(CMAKE_WERROR) \
	  -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/cpp -j $(JOBS)
	ctest --test-dir build/cpp --output-on-failure -j $(JOBS)

# The docstring examples run against the installed package.
pytest: install
	$(VPY) -m pytest -q tests
	$(VPY) -m pytest -q --doctest-modules --pyargs gridweave

# Static types of the package (native stubs included) and of the example.
typecheck: install
	cd python && ../$(VPY) -m mypy --ignore-missing-imports -p gridweave
	MYPYPATH=python $(VPY) -m mypy --ignore-missing-imports examples/evolve_minimal.py

# Python lint and the C++ format check; `make format` applies the C++ format.
lint: venv
	$(VENV)/bin/ruff check python tests bench examples
	$(VENV)/bin/clang-format --dry-run -Werror $(CXX_SOURCES)

test: lint cpptest pytest typecheck

# The main job: evolve a network on the built-in sample map, results in out/.
demo: venv
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPY) -m pip install -q --no-build-isolation ".[all]"
	$(VPY) -m gridweave demo --out out

format: venv
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

clean:
	rm -rf build $(VENV) $(ASAN_VENV) $(TSAN_VENV)

# AddressSanitizer + UBSan: the extension and the C++ tests built with both,
# the Python suite run with the runtime preloaded; any report fails the run.
ASAN_VENV := .venv-asan
ASAN_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizer/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONMALLOC=malloc
SANITIZE_PYTEST ?= tests
# Instrumented code runs the stateful fuzz test about 20 times slower.
SANITIZE_FUZZ_EXAMPLES ?= 200

# The sanitizer builds live in their own environments (.venv-asan, .venv-tsan).
.venv-%/.ready: pyproject.toml
	$(PYTHON) -m venv .venv-$*
	.venv-$*/bin/python -m pip install -q --upgrade pip
	.venv-$*/bin/python -m pip install -q $(BUILD_DEPS)
	touch $@

sanitize: $(ASAN_VENV)/.ready gtest
	cmake -S . -B build/cpp-asan -DGRIDWEAVE_PYTHON=OFF -DGRIDWEAVE_TESTS=ON -DGRIDWEAVE_SANITIZE=ON \
	  $(CMAKE_WERROR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build/cpp-asan -j $(JOBS)
	$(ASAN_ENV) ctest --test-dir build/cpp-asan --output-on-failure -j $(JOBS)
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation \
	  -C build-dir=build/py-asan -C cmake.build-type=RelWithDebInfo \
	  -C cmake.define.GRIDWEAVE_SANITIZE=ON $(PIP_WERROR) ".[test]"
	$(ASAN_ENV) GRIDWEAVE_FUZZ_EXAMPLES=$(SANITIZE_FUZZ_EXAMPLES) \
	  LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	  $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider $(SANITIZE_PYTEST)

# ThreadSanitizer over the C++ tests and the Python concurrency tests. The
# runtime must be loaded first and needs a fixed address layout (setarch -R).
TSAN_VENV := .venv-tsan
TSAN_ENV := TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/sanitizer/tsan.supp"
TSAN_PYTEST ?= tests/test_stress.py tests/test_threads.py tests/test_broken.py tests/test_evolution.py \
  tests/test_objects.py tests/test_process_threads.py tests/test_routes.py

tsan: $(TSAN_VENV)/.ready gtest
	cmake -S . -B build/cpp-tsan -DGRIDWEAVE_PYTHON=OFF -DGRIDWEAVE_TESTS=ON -DGRIDWEAVE_TSAN=ON \
	  $(CMAKE_WERROR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build/cpp-tsan -j $(JOBS)
	$(TSAN_ENV) setarch -R ctest --test-dir build/cpp-tsan --output-on-failure -j $(JOBS)
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(TSAN_VENV)/bin/python -m pip install -q --no-build-isolation \
	  -C build-dir=build/py-tsan -C cmake.build-type=RelWithDebInfo \
	  -C cmake.define.GRIDWEAVE_TSAN=ON $(PIP_WERROR) ".[test]"
	$(TSAN_ENV) LD_PRELOAD="$$($(CXX) -print-file-name=libtsan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	  setarch -R $(TSAN_VENV)/bin/python -m pytest -q -p no:cacheprovider $(TSAN_PYTEST)
