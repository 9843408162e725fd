#!/usr/bin/env bash
# Installs the Debian packages of a build directory (make packages) with apt, as a user would, and uses
# them alone: the consumer example built with find_package and with pkg-config, the tool, and the Python
# module from a clean directory. Checks that no ROS 2 header or library came with them, then removes them.
# Usage: scripts/check-packages.sh <build-dir>   (needs root or sudo)
set -euo pipefail
dir=$(cd "${1:?usage: $0 <build-dir>}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

mapfile -t debs < <(ls "$dir"/*.deb)
names=()
for deb in "${debs[@]}"; do names+=("$(dpkg-deb -f "$deb" Package)"); done
echo "-- packages: ${names[*]}"
work=$(mktemp -d)
cleanup() {
  $SUDO apt-get purge -y -qq "${names[@]}" > /dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

$SUDO apt-get install -y -qq --no-install-recommends "${debs[@]}" > "$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; exit 1; }

# Nothing of ROS 2 is shipped unless the library was built against it.
if [ "$(pkg-config --variable=ros2 nimbrel_arm_util)" = no ]; then
  if dpkg -L "${names[@]}" | grep -E 'rclcpp|tf2_ros|standin|nimbrel_node_(multi_)?thread'; then
    echo "the ROS-free packages carry ROS 2 parts (above)"; exit 1
  fi
fi

echo "-- the consumer example against the installed packages (CMake, then pkg-config)"
export SPDLOG_STDOUT=true SPDLOG_SYSTEMD=false SPDLOG_LEVEL=info
cmake -S "$src/examples/consumer" -B "$work/consumer" > /dev/null
cmake --build "$work/consumer" > /dev/null
"$work/consumer/consumer" | tee "$work/consumer.log"
grep -q "5 points inside the box" "$work/consumer.log"
# shellcheck disable=SC2046
c++ -std=c++17 -Wall -Wextra -Werror "$src/examples/consumer/main.cpp" -o "$work/pc-consumer" \
  $(pkg-config --cflags --libs nimbrel_arm_util)
"$work/pc-consumer" > /dev/null

echo "-- the tool and the Python module"
nimbrel_arm_util --version
if printf '%s\n' "${names[@]}" | grep -q '^python3-'; then
  # The package is for Debian's own Python, whatever python3 comes first on PATH.
  (cd "$work" && env -u PYTHONPATH /usr/bin/python3 -c '
import nimbrel_arm_util as n
assert n.__file__.startswith("/usr/lib/python3/dist-packages/"), n.__file__
kept = n.crop([(0.5, 0.5, 0.5), (2, 2, 2)], (0, 0, 0), (1, 1, 1))
assert len(kept) == 1, kept
print("python module:", n.__file__)')
fi
echo "-- packages installed, used and removed"
