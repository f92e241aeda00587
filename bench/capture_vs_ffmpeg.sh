#!/usr/bin/env bash
# Our capture + conversion + H.264 against ffmpeg's x11grab with libx264 at the same preset, tune, bitrate and
# keyframe interval, each for the same time, both on the same animated screen.
# Usage (from the worktree): scripts/desktop-session bench/capture_vs_ffmpeg.sh build [SECONDS]
set -u
build=${1:-build}
secs=${2:-30}
bench="$build/bench/capture_bench"

"$bench" paint $((secs * 2 + 10)) &
painter=$!
sleep 1

echo "== quill.mar capture (1080p60, H.264, Standard)"
/usr/bin/time -f "process cpu: user %U s, system %S s, wall %e s" "$bench" ours "$secs" 0

echo "== ffmpeg x11grab"
/usr/bin/time -f "process cpu: user %U s, system %S s, wall %e s" \
  ffmpeg -nostdin -hide_banner -loglevel error -stats -f x11grab -framerate 60 -video_size 1920x1080 -i "$DISPLAY" \
    -t "$secs" -c:v libx264 -preset superfast -tune zerolatency -profile:v high -pix_fmt yuv420p \
    -b:v 6000000 -maxrate 9000000 -bufsize 9000000 -g 60 -keyint_min 60 -bf 0 -x264-params scenecut=0:8x8dct=1 \
    -f null - 2>&1 | tr '\r' '\n' | tail -3

kill "$painter" 2>/dev/null
wait "$painter" 2>/dev/null
