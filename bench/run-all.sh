#!/usr/bin/env bash
# Builds the benchmarks and runs them one after another, each beside its baseline in the same run, and
# prints one table (Markdown) of the figures. The full output of each benchmark goes to
# <build>/bench/logs/. Needs root for the appliance fixture and fanotify (the rows that need it are
# missing otherwise).
#
#   bench/run-all.sh [build folder]      default: build/
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$top/build}"
logs="$build/bench/logs"
programs=(bench_event_stream bench_catch_up bench_daemon bench_backup_run bench_first_backup bench_many_clients bench_large_home
  bench_restore bench_versions bench_index_merge bench_index_search)

"$top/scripts/build.sh" "$build" >/dev/null
cmake --build "$build" --target "${programs[@]}" >/dev/null
mkdir -p "$logs"

run() { # name, arguments...
  local name="$1"
  shift
  echo "running $name $*" >&2
  local status=0
  (cd "$build/bench" && "./$name" "$@") >"$logs/$name.txt" 2>&1 || status=$?
  [ "$status" -eq 0 ] || echo "  $name ended with status $status (see $logs/$name.txt)" >&2
  grep '^TABLE|' "$logs/$name.txt" || true
}

rows=$(
  if command -v inotifywait >/dev/null; then
    run bench_event_stream 100000 /var/tmp
  else
    echo "  bench_event_stream skipped: inotifywait is not installed (inotify-tools)" >&2
  fi
  run bench_catch_up 1000000 100 /var/tmp
  run bench_daemon 60 10
  run bench_backup_run
  run bench_first_backup
  run bench_many_clients 20 1000 10 standard
  run bench_large_home 1000000 900 10000
  QT_QPA_PLATFORM=offscreen run bench_restore --full
  QT_QPA_PLATFORM=offscreen run bench_versions 1000
  run bench_index_merge
  run bench_index_search 1000000
)

echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo), $(uname -sr), $(. /etc/os-release && echo "$PRETTY_NAME")."
echo
echo "| measure | this run | baseline, same run | ratio | goal |"
echo "|---|---|---|---|---|"
while IFS='|' read -r _ measure figure baseline ratio goal; do
  [ -n "$measure" ] && echo "| $measure | $figure | $baseline | $ratio | $goal |"
done <<<"$rows"
