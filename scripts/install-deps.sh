#!/usr/bin/env bash
# Installs the Debian packages this project builds against, skipping those already present.
# Usage: scripts/install-deps.sh [core|bench|fuzz|format|docs|all]   (default: core)
# A second run installs nothing and returns within seconds.
set -euo pipefail

core=(
  build-essential cmake make pkg-config git
  libpcl-dev libeigen3-dev libboost-dev
  libopencv-dev
  libspdlog-dev libfmt-dev libsystemd-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev libyaml-cpp-dev liburdfdom-dev libassimp-dev
  pybind11-dev python3-dev python3-numpy python3-pytest
)
bench=(libopen3d-dev libembree-dev python3 python3-open3d)
fuzz=(clang libclang-rt-14-dev)
format=(clang-format-14)
docs=(doxygen)

set_name=${1:-core}
case "$set_name" in
  core) wanted=("${core[@]}") ;;
  bench) wanted=("${core[@]}" "${bench[@]}") ;;
  fuzz) wanted=("${core[@]}" "${fuzz[@]}") ;;
  format) wanted=("${format[@]}") ;;
  docs) wanted=("${docs[@]}") ;;
  all) wanted=("${core[@]}" "${bench[@]}" "${fuzz[@]}" "${format[@]}" "${docs[@]}") ;;
  *) echo "usage: $0 [core|bench|fuzz|format|docs|all]" >&2; exit 2 ;;
esac

missing=()
for pkg in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing+=("$pkg")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
