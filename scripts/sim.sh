#!/usr/bin/env bash
# The protection oracle: builds, then runs tests/sim's zh-sim as root against the real daemon, the
# appliance fixture and a home on a loop-device file system, checking what must always hold.
#   scripts/sim.sh --seed N [--keep I,J,…]   replay one seed (or a shrunk schedule of it)
#   scripts/sim.sh --seeds A-B               a range of seeds
#   scripts/sim.sh --soak MINUTES [--from N] seeds from N upwards until the time is up
#   scripts/sim.sh --env inotify,xfs …       only the environments named; --help for every option
# ZH_BUILD_DIR picks the build folder (default build/); ZH_SIM_NO_BUILD=1 skips the build.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${ZH_BUILD_DIR:-$top/build}"
if [ "$(id -u)" -ne 0 ]; then
  echo "sim: needs root (the appliance on port 873, loop devices, the daemon's rights)" >&2
  exit 77
fi
if [ -z "${ZH_SIM_NO_BUILD:-}" ]; then
  "$top/scripts/install-deps.sh" >&2
  "$top/scripts/build.sh" "$build" >&2
fi
cd "$top"
exec "$build/tests/sim/zh-sim" "$@"
