# Entry points for people and CI. Every target first installs whatever Debian package is missing.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# Optional: build only these targets, and pass these arguments to ctest (e.g. CTEST_ARGS="-R Logger").
TARGETS ?=
CTEST_ARGS ?=

.PHONY: all deps configure build test demo bench clean

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

bench:
	@bash scripts/install-deps.sh bench
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DNIMBREL_BUILD_BENCHMARKS=ON -DNIMBREL_BUILD_TESTS=OFF $(CMAKE_FLAGS) > /dev/null
	@env -u MAKEFLAGS -u MAKELEVEL -u MFLAGS cmake --build build-bench -j $(JOBS)
	@rm -rf build-bench/reports && mkdir -p build-bench/reports
	@for b in build-bench/benchmarks/*_bench; do echo "== $$b"; $$b --benchmark_repetitions=$${REPS:-5} --benchmark_report_aggregates_only=true --benchmark_out=build-bench/reports/$$(basename $$b).json --benchmark_out_format=json; done
	@echo "== side by side with the peer library"; python3 benchmarks/peer_table.py --build build-bench --reps $${REPS:-5} --keep build-bench/reports/peer
	@echo "== two OpenMP threads (wall time): outlier removal on the frames, and the whole frame"
	@cmake -S . -B build-bench-omp -DCMAKE_BUILD_TYPE=Release -DNIMBREL_BUILD_BENCHMARKS=ON -DNIMBREL_BUILD_TESTS=OFF -DNIMBREL_WITH_OPENMP=ON $(CMAKE_FLAGS) > /dev/null
	@env -u MAKEFLAGS -u MAKELEVEL -u MFLAGS cmake --build build-bench-omp -j $(JOBS) --target outlier_bench $$([ -e build-bench/benchmarks/peer/peer_mesh_removal_bench ] && echo peer_mesh_removal_bench)
	@OMP_NUM_THREADS=2 build-bench-omp/benchmarks/outlier_bench --benchmark_filter='outlier/(frame|full)' --benchmark_repetitions=$${REPS:-5} --benchmark_report_aggregates_only=true --benchmark_out=build-bench/reports/outlier_bench_2threads.json --benchmark_out_format=json
	@if [ -x build-bench-omp/benchmarks/peer/peer_mesh_removal_bench ]; then OMP_NUM_THREADS=2 build-bench-omp/benchmarks/peer/peer_mesh_removal_bench --benchmark_filter='frame_' --benchmark_repetitions=$${REPS:-5} --benchmark_report_aggregates_only=true --benchmark_out=build-bench/reports/frame_2threads.json --benchmark_out_format=json; fi
	@echo "== speed targets"; python3 benchmarks/targets.py build-bench/reports
	@if [ -e build-bench/python ]; then echo "== Python module: overhead per call beside the library's time"; /usr/bin/python3 benchmarks/python_bench.py --build build-bench --reps $${REPS:-30}; fi

clean:
	@rm -rf $(BUILD_DIR)

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
