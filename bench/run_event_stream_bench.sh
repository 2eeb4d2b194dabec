#!/bin/sh
# Builds and runs the event stream benchmark: 100,000 creates per back end beside inotifywait.
# Usage: bench/run_event_stream_bench.sh [build folder] [creates] [parent folder]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$here/build"}
command -v inotifywait >/dev/null || { echo "inotifywait missing (apt-get install inotify-tools)" >&2; exit 1; }
cmake --build "$build" --target bench_event_stream
"$build/bench/bench_event_stream" "${2:-100000}" "${3:-/var/tmp}"
