#!/usr/bin/env bash
# Builds and runs the clip-writer benchmark: a 120 s 1080p60 H.264 clip at 20 Mbit/s with AAC (about 300 MB
# of real encoded samples in memory), written by mp4::write_mp4_file, remuxed by ffmpeg -c copy -movflags
# +faststart, and matched against a plain sequential write of as many bytes, all in one folder.
# Usage: bench/mp4_write.sh [folder]   (default: a new folder under ${TMPDIR:-/tmp}, removed afterwards)
exec "$(dirname "$0")/run_bench.sh" mp4_write_bench "$@"
