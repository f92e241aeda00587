#!/usr/bin/env bash
# Builds and runs the recording-journal benchmark: 10 min of synthetic 1080p60 H.264 at 6 and 19.5 Mbit/s with AAC
# through mp4::Recorder without and with its journal (CPU, wall time, bytes written), then the completion of a
# killed recording from its journal against the normal finish, for those 10 min and for an hour's index.
# Usage: bench/recording_journal.sh [folder]   (default: a new folder under ${TMPDIR:-/tmp}, removed afterwards)
exec "$(dirname "$0")/run_bench.sh" recording_journal_bench "$@"
