#!/usr/bin/env bash
# Builds the Debian package into build-package/ (the programs, the helpers, the unit and the entries),
# then checks it in a throw-away root (scripts/package-check.sh: install, start, purge; skips when not
# root). ZH_PACKAGE_CHECK=0 builds only.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$top/build-package}"
"$top/scripts/install-deps.sh"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_TESTING=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/zorvik-hollin_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb="$(ls "$build"/zorvik-hollin_*.deb)"
echo "$deb"
if [ "${ZH_PACKAGE_CHECK:-1}" != 0 ]; then
  "$top/scripts/package-check.sh" "$deb"
fi
