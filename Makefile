# Entry points for people and CI. Every target first installs whatever Debian package is missing.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# Optional: build only these targets, and pass these arguments to ctest (e.g. CTEST_ARGS="-R Logger").
TARGETS ?=
CTEST_ARGS ?=

.PHONY: all deps configure build test demo bench clean docs packages

all: build

deps:
	@bash scripts/install-deps.sh core

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS) > /dev/null

build: configure
	@env -u MAKEFLAGS -u MAKELEVEL -u MFLAGS cmake --build $(BUILD_DIR) -j $(JOBS) $(if $(TARGETS),--target $(TARGETS))

test: build
	@ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS) $(CTEST_ARGS)

demo: build
	@$(BUILD_DIR)/examples/pipeline_demo demo-output

# Benchmarks in their own Release build directory (REPS=<n> repetitions, default 5): see scripts/bench.sh.
bench:
	@JOBS=$(JOBS) CMAKE_FLAGS="$(CMAKE_FLAGS)" bash scripts/bench.sh build-bench

clean:
	@rm -rf $(BUILD_DIR)

# The API reference from the public headers into build-docs/html; fails on any warning, an undocumented
# public name included.
docs:
	@bash scripts/install-deps.sh docs
	@mkdir -p build-docs
	@NIMBREL_DOCS_OUT=build-docs doxygen docs/api/Doxyfile
	@echo "API reference: build-docs/html/index.html"

# Debian packages (library, development files, tool, Python module) for /usr, in build-deb/: see
# cmake/nimbrel_packaging.cmake. Install them with `apt install ./build-deb/*.deb`.
# CI packages its test build (PACKAGE_DIR=build PACKAGE_FLAGS=) instead of building again.
PACKAGE_DIR ?= build-deb
PACKAGE_FLAGS ?= -DNIMBREL_BUILD_TESTS=OFF -DNIMBREL_BUILD_EXAMPLES=OFF
packages: deps
	@cmake -S . -B $(PACKAGE_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DCMAKE_INSTALL_PREFIX=/usr \
	  -DNIMBREL_PYTHON_INSTALL_DIR=lib/python3/dist-packages $(PACKAGE_FLAGS) $(CMAKE_FLAGS) > /dev/null
	@env -u MAKEFLAGS -u MAKELEVEL -u MFLAGS cmake --build $(PACKAGE_DIR) -j $(JOBS)
	@cd $(PACKAGE_DIR) && cpack -G DEB

# Fuzzing: clang, AddressSanitizer, UndefinedBehaviorSanitizer and libFuzzer in their own build directory.
# `make fuzz` runs every target for FUZZ_SECONDS each and fails on any finding (longer: FUZZ_SECONDS=3600).
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= mesh mesh_removal cloud depth readers
# FUZZ_SEED=<n> in the environment fixes libFuzzer's seed (as CI does); readers is skipped in a tree
# without the tool.

.PHONY: fuzz fuzz-build
fuzz-build:
	@bash scripts/install-deps.sh fuzz
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMBREL_BUILD_FUZZERS=ON -DNIMBREL_BUILD_TESTS=OFF -DNIMBREL_BUILD_EXAMPLES=OFF $(CMAKE_FLAGS) > /dev/null
	@env -u MAKEFLAGS -u MAKELEVEL -u MFLAGS cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzzers

fuzz: fuzz-build
	@bash fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SECONDS) $(FUZZ_TARGETS)
