#!/usr/bin/env bash
# Builds and runs the trim benchmark: 60 s kept out of a 120 s 1080p60 H.264 clip with AAC, by trim::cut_clip
# and by ffmpeg -ss 30 -to 90 -c copy -movflags +faststart.
# Usage: bench/trim.sh [folder]   (default: a new folder under ${TMPDIR:-/tmp}, removed afterwards)
exec "$(dirname "$0")/run_bench.sh" trim_bench "$@"
