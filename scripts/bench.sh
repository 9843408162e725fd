#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them: every benchmark with its repetitions, the side-by-side
# table with the peer library, the OpenMP runs on two threads, the speed targets and, when the Python module
# is built, its overhead per call. JSON reports land in <build-dir>/reports.
# Usage: scripts/bench.sh [build-dir]   (default build-bench; REPS=<n> repetitions, default 5; CMAKE_FLAGS
# and JOBS as for make)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
build_omp=$build-omp
reps=${REPS:-5}
jobs=${JOBS:-$(nproc)}
# Flags a caller passes through make; word splitting is intended.
read -r -a flags <<< "${CMAKE_FLAGS:-}"
aggregates=(--benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true --benchmark_out_format=json)

bash scripts/install-deps.sh bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DNIMBREL_BUILD_BENCHMARKS=ON -DNIMBREL_BUILD_TESTS=OFF \
  "${flags[@]}" > /dev/null
env -u MAKEFLAGS -u MAKELEVEL -u MFLAGS cmake --build "$build" -j "$jobs"
rm -rf "$build/reports" && mkdir -p "$build/reports"
for b in "$build"/benchmarks/*_bench; do
  echo "== $b"
  "$b" "${aggregates[@]}" --benchmark_out="$build/reports/$(basename "$b").json"
done

echo "== side by side with the peer library"
python3 benchmarks/peer_table.py --build "$build" --reps "$reps" --keep "$build/reports/peer"

echo "== two OpenMP threads (wall time): outlier removal on the frames, and the whole frame"
cmake -S . -B "$build_omp" -DCMAKE_BUILD_TYPE=Release -DNIMBREL_BUILD_BENCHMARKS=ON -DNIMBREL_BUILD_TESTS=OFF \
  -DNIMBREL_WITH_OPENMP=ON "${flags[@]}" > /dev/null
omp_targets=(outlier_bench)
if [ -e "$build/benchmarks/peer/peer_mesh_removal_bench" ]; then omp_targets+=(peer_mesh_removal_bench); fi
env -u MAKEFLAGS -u MAKELEVEL -u MFLAGS cmake --build "$build_omp" -j "$jobs" --target "${omp_targets[@]}"
OMP_NUM_THREADS=2 "$build_omp/benchmarks/outlier_bench" --benchmark_filter='outlier/(frame|full)' \
  "${aggregates[@]}" --benchmark_out="$build/reports/outlier_bench_2threads.json"
if [ -x "$build_omp/benchmarks/peer/peer_mesh_removal_bench" ]; then
  OMP_NUM_THREADS=2 "$build_omp/benchmarks/peer/peer_mesh_removal_bench" --benchmark_filter='frame_' \
    "${aggregates[@]}" --benchmark_out="$build/reports/frame_2threads.json"
fi

echo "== speed targets"
python3 benchmarks/targets.py "$build/reports"
if [ -e "$build/python" ]; then
  echo "== Python module: overhead per call beside the library's time"
  /usr/bin/python3 benchmarks/python_bench.py --build "$build" --reps "${REPS:-30}"
fi
