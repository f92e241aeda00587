#!/usr/bin/env bash
# Builds and runs the save-latency benchmark: 120 s of 1080p60 H.264 at 19.5 Mbit/s with AAC in the rings of the
# shared state (about 300 MB of real encoded samples in memory), cut by the saver and written by
# mp4::write_mp4_file, against ffmpeg -c copy -movflags +faststart of the same samples, in one folder.
# Usage: bench/saver.sh [folder]   (default: a new folder under ${TMPDIR:-/tmp}, removed afterwards)
exec "$(dirname "$0")/run_bench.sh" saver_bench "$@"
