#!/usr/bin/env bash
# Builds every screenshot program (zh-screenshots-*) and runs each under a virtual X display, writing
# its PNGs into docs/screenshots/. Usage: scripts/screenshots.sh [build folder]
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$top/build}"
out="$top/docs/screenshots"
command -v xvfb-run >/dev/null || { echo "xvfb-run is needed (Debian package xvfb)" >&2; exit 1; }

[ -f "$build/build.ninja" ] || "$top/scripts/build.sh" "$build"
mapfile -t programs < <(cmake --build "$build" --target help | sed -n 's/^\(zh-screenshots-[A-Za-z0-9_-]*\):.*/\1/p' | grep -v _autogen | sort -u)
[ "${#programs[@]}" -gt 0 ] || { echo "no zh-screenshots-* programs in $build" >&2; exit 1; }
cmake --build "$build" --target "${programs[@]}" -j2

mkdir -p "$out"
status=0
for program in "${programs[@]}"; do
  binary="$(find "$build" -type f -perm -u+x -name "$program" | head -n 1)"
  echo "== $program"
  # A fixed style and font size keep the pictures alike from one machine to the next.
  # English whatever the machine's language (the programs take the language of their environment).
  if ! LC_ALL=C.UTF-8 LANGUAGE= QT_QPA_PLATFORM=xcb QT_STYLE_OVERRIDE=Fusion \
       xvfb-run -a -s "-screen 0 1280x1024x24" "$binary" "$out"; then
    echo "$program failed" >&2
    status=1
  fi
done

# The log-in window, the status window and the restore browser in German (docs/translations.md).
german="$(mktemp -d)"
for group in core status restore; do
  binary="$(find "$build" -type f -perm -u+x -name "zh-screenshots-$group" | head -n 1)"
  echo "== zh-screenshots-$group in German"
  if ! LC_ALL= LANG=de_DE.UTF-8 LANGUAGE=de QT_QPA_PLATFORM=xcb QT_STYLE_OVERRIDE=Fusion \
       xvfb-run -a -s "-screen 0 1280x1024x24" "$binary" "$german"; then
    echo "zh-screenshots-$group in German failed" >&2
    status=1
  fi
done
for shot in de-core-login-address-shown de-status-in-progress de-restore-live; do
  cp "$german/$shot.png" "$out/" || status=1
done
rm -rf "$german"
ls -l "$out"
exit $status
