#!/usr/bin/env bash
# Builds and runs the save-latency benchmark: 120 s of 1080p60 H.264 at 19.5 Mbit/s with AAC in the rings of the
# shared state (about 300 MB of real encoded samples in memory), cut by the saver and written by
# mp4::write_mp4_file, against ffmpeg -c copy -movflags +faststart of the same samples, in one folder.
# Usage: bench/saver.sh [folder]   (default: a new folder under ${TMPDIR:-/tmp}, removed afterwards)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$here" -B "$here/build" -G Ninja >/dev/null
cmake --build "$here/build" -j4 --target saver_bench >/dev/null
if [ $# -ge 1 ]; then
  exec "$here/build/bench/saver_bench" "$1"
fi
folder=$(mktemp -d "${TMPDIR:-/tmp}/quillmar-bench-XXXXXX")
trap 'rm -rf "$folder"' EXIT
"$here/build/bench/saver_bench" "$folder"
