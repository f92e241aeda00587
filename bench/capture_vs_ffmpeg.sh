#!/usr/bin/env bash
# In one run, on the same animated 1080p screen, alternating PAIRS times:
#   floor  - the same encoder with the same settings fed 120 captured frames from memory at 60 fps
#   ours   - the program's capture path (engine, video and sound pipelines), counters from "status"
#   ffmpeg - x11grab + libx264 with the same preset, tune, bitrates and keyframe interval
# Prints each process's CPU (user + system, /usr/bin/time), the ratios ours/floor and ours/ffmpeg, the
# per-thread tables, the resident memory figures, and the load average before and after.
# Then a PSNR check: the floor's stream against its source frames (ffmpeg's psnr filter). With PSNR_DIR set,
# the source frames kept there by an earlier run are encoded again, so that two builds compare on the same
# pictures.
# Usage (from the worktree): scripts/desktop-session bench/capture_vs_ffmpeg.sh build [SECONDS] [PAIRS] [CORES]
# CORES (e.g. 0,1) pins every measured process with taskset.
set -u
build=${1:-build}
secs=${2:-30}
pairs=${3:-3}
cores=${4:-}
bench="$build/bench/capture_bench"
pin=()
[ -n "$cores" ] && pin=(taskset -c "$cores")
work=$(mktemp -d "${TMPDIR:-/tmp}/capture-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

"$bench" paint $(((secs + 8) * 3 * pairs + 40)) &
painter=$!
sleep 1

timed() { # NAME COMMAND...: runs it under /usr/bin/time, keeps its output in $work/NAME.N
  local out="$work/$1.$round"
  shift
  /usr/bin/time -f "process cpu %U %S wall %e" -o "$out.time" "${pin[@]}" "$@" >"$out" 2>&1
}

# ffmpeg's threads, read from /proc every half second while it runs (the last reading before it ends).
ffmpeg_threads() {
  local pid=$1 out=$2
  while kill -0 "$pid" 2>/dev/null; do
    local snapshot=""
    for stat in /proc/"$pid"/task/*/stat; do
      snapshot+=$(sed -E 's/^[0-9]+ \((.*)\) (.*)$/\1|\2/' "$stat" 2>/dev/null | awk -F'|' '{split($2, f, " "); print $1 "|" f[12] + f[13]}')$'\n'
    done
    [ -n "$snapshot" ] && printf '%s' "$snapshot" >"$out"
    sleep 0.5
  done
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for round in $(seq 1 "$pairs"); do
  timed floor "$bench" floor "$secs"
  timed ours "$bench" ours "$secs"
  out="$work/ffmpeg.$round"
  /usr/bin/time -f "process cpu %U %S wall %e" -o "$out.time" "${pin[@]}" \
    ffmpeg -nostdin -hide_banner -loglevel error -stats -f x11grab -framerate 60 -video_size 1920x1080 \
      -i "$DISPLAY" -t "$secs" -c:v libx264 -preset superfast -tune zerolatency -profile:v high -pix_fmt yuv420p \
      -b:v 6000000 -maxrate 9000000 -bufsize 9000000 -g 60 -keyint_min 60 -bf 0 \
      -x264-params scenecut=0:8x8dct=1 -f null - >"$out" 2>&1 &
  timer=$!
  sleep 0.5
  ffmpeg_threads "$(pgrep -P "$timer" | head -1)" "$out.threads"
  wait "$timer"
  cpu() { awk '{printf "%.2f", $3 + $4}' "$work/$1.$round.time"; }
  f=$(cpu floor) o=$(cpu ours) g=$(cpu ffmpeg)
  frames=$(tr '\r' '\n' <"$out" | grep -o 'frame= *[0-9]*' | tail -1 | tr -dc 0-9)
  drop=$(tr '\r' '\n' <"$out" | grep -o 'drop=[0-9]*' | tail -1 | tr -dc 0-9)
  of=$(awk '/^frames/ {print $2}' "$work/floor.$round") oo=$(awk '/^frames/ {print $2}' "$work/ours.$round")
  ms() { echo "scale=2; 1000 * $1 / $2" | bc -l; }
  echo "== pair $round: floor $f s, ours $o s, ffmpeg $g s ($frames frames, drop ${drop:-0}):" \
    "ours/floor $(echo "$o / $f" | bc -l | cut -c1-5), ours/ffmpeg $(echo "$o / $g" | bc -l | cut -c1-5)"
  # ffmpeg's x11grab delivers fewer frames when the machine is too busy: per frame, the ratio stays fair.
  echo "   CPU per frame: floor $(ms "$f" "$of") ms, ours $(ms "$o" "$oo") ms, ffmpeg $(ms "$g" "$frames") ms;" \
    "ours/ffmpeg per frame $(echo "($o / $oo) / ($g / $frames)" | bc -l | cut -c1-5)"
  grep -E '^(frames|encoder|rss|ring)' "$work/ours.$round" | sed 's/^/   ours: /'
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

echo "== per-thread CPU of the last pair (seconds)"
echo "-- floor"; grep '^thread' "$work/floor.$pairs"
echo "-- ours"; grep '^thread' "$work/ours.$pairs"
echo "-- ffmpeg (last reading, up to 0.5 s before its end)"
awk -F'|' '{cpu[$1] += $2 / 100; n[$1]++} END {for (t in cpu) printf "thread %-16s x%-2d %7.2f s\n", t, n[t], cpu[t]}' \
  "$work/ffmpeg.$pairs.threads" | sort -k4 -nr

echo "== PSNR of the floor's stream (10 s) against its source frames"
psnr=${PSNR_DIR:-$work}
mkdir -p "$psnr"
"$bench" floor 10 "$psnr" >/dev/null
ffmpeg -nostdin -hide_banner -nostats -i "$psnr/floor.h264" \
  -f rawvideo -pix_fmt nv12 -video_size 1920x1080 -framerate 60 -stream_loop -1 -i "$psnr/source.yuv" \
  -lavfi "[0:v][1:v]psnr=shortest=1" -f null - 2>&1 | grep -o 'PSNR y:[0-9.]*'
[ -z "$(ffmpeg -nostdin -v error -i "$psnr/floor.h264" -f null - 2>&1)" ] && echo "floor.h264 decodes without error"

kill "$painter" 2>/dev/null
wait "$painter" 2>/dev/null
