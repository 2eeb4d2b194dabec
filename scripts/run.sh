#!/usr/bin/env bash
# Installs what is needed, builds, and runs the main job against an embedded local appliance (as root):
# with a usable display the real programs come up for a person to use until they quit the application;
# without one, a scripted walk through the real windows runs under Xvfb, printing each step and saving
# a screenshot of each into build/run/. The exit status is non-zero when a step fails.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${ZH_BUILD_DIR:-$top/build}"
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" "$build"
run="$build/tools/run/zh-run"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && "$run" --probe-display >/dev/null 2>&1; then
  exec "$run" --interactive
fi
echo "run: no usable display; walking through the windows under Xvfb"
exec xvfb-run -a -s "-screen 0 1280x1024x24" "$run" --walk --out "$build/run"
