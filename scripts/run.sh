#!/usr/bin/env bash
# Installs what is needed, builds, and runs the main job against an embedded local appliance.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" "$top/build"
exec "$top/build/tests/daemon/host/zh-backup-demo"
