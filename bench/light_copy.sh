#!/usr/bin/env bash
# Builds and runs the light-copy benchmark: 1080p60 Standard clips of 30, 60 and 120 s (or the lengths given
# after the folder) copied by light_copy::make_light_copy and re-encoded by ffmpeg with the same settings.
# Usage: bench/light_copy.sh [folder [seconds...]]   (default: a new folder under ${TMPDIR:-/tmp}, removed afterwards)
exec "$(dirname "$0")/run_bench.sh" light_copy_bench "$@"
