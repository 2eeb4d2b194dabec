#!/usr/bin/env bash
# Fails, naming them, when a text of the application's sources has no translation in a .ts file:
# lupdate reads the sources into a copy of each .ts, and any message it leaves unfinished is missing.
#
#   scripts/check-translations.sh <build folder> <GenerateLUpdateProject.cmake> <lupdate>
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="$1" generate="$2" lupdate="$3"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
# The list of sources as the build's update_translations target makes it.
cmake -DIN_FILE="$build/app/.lupdate/zh_app_project.cmake" -DOUT_FILE="$scratch/project.json" -P "$generate"
status=0
for ts in "$top"/translations/*.ts; do
  cp "$ts" "$scratch/check.ts"
  "$lupdate" -project "$scratch/project.json" -ts "$scratch/check.ts" -no-obsolete -locations none >/dev/null 2>&1
  missing="$(python3 - "$scratch/check.ts" <<'PY'
import sys, xml.etree.ElementTree as ET
for context in ET.parse(sys.argv[1]).getroot().findall("context"):
    for message in context.findall("message"):
        t = message.find("translation")
        if t is None or t.get("type") in ("unfinished", "vanished", "obsolete"):
            print("%s: %r" % (context.find("name").text, message.find("source").text))
PY
)"
  if [ -n "$missing" ]; then
    echo "$(basename "$ts"): no translation for"
    echo "$missing"
    status=1
  else
    echo "$(basename "$ts"): every text of the sources is translated"
  fi
done
exit $status
