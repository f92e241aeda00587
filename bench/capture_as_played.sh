#!/usr/bin/env bash
# What a player runs, measured against the encoder alone and against ffmpeg doing the same job.
#
# Usage (from the worktree): scripts/desktop-session bench/capture_as_played.sh [BUILD] [SECONDS] [ROUNDS] [CORES]
#   BUILD    build folder (build); SECONDS measured per arm (60); ROUNDS (3)
#   CORES    e.g. 0,1: every measured process is pinned there with taskset, the moving picture elsewhere
#   WARMUP=S seconds of capture before the program's and ffmpeg's windows open (10)
#   SAVE_KEY the key pressed after the program's window (F7: the default 60 s slot, so the clip covers it)
#
# The picture is a "game": ffplay full screen showing testsrc2 at 1920x1080, 60 fps, with a 440 Hz tone
# on the default sink. At superfast it needs about 17 Mbit/s for x264's default quality, so at 6 Mbit/s the
# encoders spend the whole rate, as they do on a game. A silent null source is made the default microphone,
# so that the program records two sources, as it does for a player with a microphone.
#
# Each round runs, one after the other, printing the load average before each:
#   program  build/app/quillmar --tray with a temporary home and no settings file (the defaults: 1080p60
#            H.264 Standard, 6 Mbit/s). Once its capture thread runs and WARMUP has passed: CPU of the
#            process and of each thread (/proc/PID/task/*/stat), the time each thread waited for a CPU
#            (schedstat), the X server's CPU and wait, and VmRSS split into RssAnon, RssFile and RssShmem
#            (/proc/PID/status, every second) over SECONDS. Then SAVE_KEY is pressed with xdotool
#            and the clip is checked as a player would: duration, 60 fps, gaps in its timestamps, a decode
#            with `ffmpeg -v error` that must print nothing. The "status" method is reachable only from the
#            program's own page, so frames and drops are read from that clip: one video sample per frame
#            sent to the encoder, and every frame the capture dropped leaves a gap of one frame time.
#   floor    capture_bench floor SECONDS: the same encoder with the program's parameters, fed 120 frames
#            grabbed and converted once from the same picture, at the same 60 fps pace.
#   ffmpeg   x11grab and both sound sources (amix, AAC 192 kbit/s 48 kHz) into libx264 with the program's
#            settings, -pix_fmt yuv420p, into a ring of 2 s MPEG-TS segments on disk (60 segments);
#            measured like the program after WARMUP, its frames from -progress. The segment muxer asks
#            for constant frames, so a frame x11grab grabbed late is encoded again as a copy (counted as
#            duplicated) where the program leaves a gap.
# Then the picture check: the floor dumps 120 frames it grabbed and its 10 s stream; ffmpeg encodes the
# same frames with the same settings; both streams' Y-PSNR against those frames, and their bitrates.
set -u
build=${1:-build}
secs=${2:-60}
rounds=${3:-3}
cores=${4:-}
warmup=${WARMUP:-10}
save_key=${SAVE_KEY:-F7}
program="$build/app/quillmar"
bench="$build/bench/capture_bench"
tick=$(getconf CLK_TCK)

for tool in ffplay ffmpeg ffprobe xdotool pactl taskset; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[ -n "${DISPLAY:-}" ] || { echo "no DISPLAY: run it under scripts/desktop-session" >&2; exit 1; }
[ -x "$program" ] && [ -x "$bench" ] || { echo "build $program and $bench first" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/capture-as-played-XXXXXX")
picture_pid=""
cleanup() {
  [ -n "$picture_pid" ] && kill "$picture_pid" 2>/dev/null
  [ -n "${mic_module:-}" ] && pactl unload-module "$mic_module" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Measured processes on CORES, the picture on the other cores.
pin=()
others=()
if [ -n "$cores" ]; then
  pin=(taskset -c "$cores")
  rest=$(python3 -c "import os, sys
mine = set()
for part in sys.argv[1].split(','):
    a, _, b = part.partition('-')
    mine.update(range(int(a), int(b or a) + 1))
print(','.join(str(c) for c in sorted(os.sched_getaffinity(0) - mine)))" "$cores")
  [ -n "$rest" ] && others=(taskset -c "$rest")
fi

mic_module=$(pactl load-module module-null-source source_name=bench_mic rate=48000 channels=2)
pactl set-default-source bench_mic
game_sound="$(pactl get-default-sink).monitor"

start_picture() {
  "${others[@]}" ffplay -hide_banner -loglevel error -nostats -fs -window_title "Bench Game" -f lavfi \
    -i "testsrc2=s=1920x1080:r=60[out0];sine=frequency=440:sample_rate=48000[out1]" >"$work/ffplay.log" 2>&1 </dev/null &
  picture_pid=$!
  for _ in $(seq 100); do
    xdotool search --onlyvisible --name '^Bench Game$' >/dev/null 2>&1 && break
    sleep 0.1
  done
  sleep 1
}
stop_picture() {
  kill "$picture_pid" 2>/dev/null
  wait "$picture_pid" 2>/dev/null
  picture_pid=""
}

load() { cut -d' ' -f1-3 /proc/loadavg; }
now() { date +%s.%N; }

# "tid|name|CPU ticks|ns spent waiting for a CPU" for every thread of PID.
threads_snapshot() {
  local task
  for task in /proc/"$1"/task/*; do
    { sed -E 's/^([0-9]+) \((.*)\) (.*)$/\1|\2|\3/' "$task/stat"; cut -d' ' -f2 "$task/schedstat"; } 2>/dev/null \
      | paste -sd'|'
  done | awk -F'|' 'NF == 4 {split($3, f, " "); print $1 "|" $2 "|" f[12] + f[13] "|" $4}'
}
# utime + stime of the whole process, ended threads included, in ticks.
process_ticks() { sed -E 's/^.*\) //' /proc/"$1"/stat | awk '{print $12 + $13}'; }

# Per thread name: how many, CPU seconds between two snapshots (a thread born in between counts from 0), and
# the time they spent runnable but waiting for a CPU (/proc/PID/task/TID/schedstat).
thread_table() { # BEFORE AFTER PROCESS_SECONDS
  awk -F'|' -v tick="$tick" -v total="$3" '
    FNR == NR { before[$1] = $3; waited[$1] = $4; next }
    { cpu[$2] += ($3 - before[$1]) / tick; n[$2]++; sum += ($3 - before[$1]) / tick; wait[$2] += ($4 - waited[$1]) / 1e9 }
    END {
      for (t in cpu) printf "  thread %-16s x%-2d %7.2f s, waited for a CPU %6.2f s\n", t, n[t], cpu[t], wait[t]
      printf "  thread %-16s     %7.2f s\n", "(ended ones)", total - sum
    }' "$1" "$2" | sort -k4 -nr
}

# The X server of this desktop (the session's own Xvfb): every grab is a round trip to it, so a starved
# server shows as late frames in every capturer.
xserver=$(pgrep -P "$PPID" -x Xvfb | head -1)
xserver_figures() { [ -n "$xserver" ] && echo "$(process_ticks "$xserver") $(cut -d' ' -f2 /proc/"$xserver"/schedstat)"; }

# Samples VmRSS, RssAnon, RssFile, RssShmem of PID every second for SECONDS; prints the largest and the last.
watch_process() { # PID SECONDS NAME: fills $work/NAME.{cpu,before,after,samples,rss,xserver}
  local pid=$1 span=$2 name=$3 t0 t1 c0 c1 x0 x1
  x0=$(xserver_figures)
  threads_snapshot "$pid" >"$work/$name.before"
  c0=$(process_ticks "$pid")
  t0=$(now)
  : >"$work/$name.samples"
  for _ in $(seq "$span"); do
    sleep 1
    awk '/^(VmRSS|RssAnon|RssFile|RssShmem):/ {v[$1] = $2 / 1024} END {
      printf "%.1f %.1f %.1f %.1f\n", v["VmRSS:"], v["RssAnon:"], v["RssFile:"], v["RssShmem:"] }' \
      /proc/"$pid"/status >>"$work/$name.samples"
  done
  threads_snapshot "$pid" >"$work/$name.after"
  c1=$(process_ticks "$pid")
  t1=$(now)
  x1=$(xserver_figures)
  [ -n "$x0" ] && awk -v a="$x0" -v b="$x1" -v tick="$tick" 'BEGIN {split(a, p, " "); split(b, q, " ")
    printf "   X server (Xvfb): CPU %.2f s, waited for a CPU %.2f s\n", (q[1] - p[1]) / tick, (q[2] - p[2]) / 1e9}' \
    >"$work/$name.xserver"
  awk -v a="$c0" -v b="$c1" -v s="$t0" -v e="$t1" -v tick="$tick" \
    'BEGIN {printf "%.2f %.2f\n", (b - a) / tick, e - s}' >"$work/$name.cpu"
  awk '{for (i = 1; i <= 4; i++) if ($i > m[i]) m[i] = $i; for (i = 1; i <= 4; i++) l[i] = $i} END {
    printf "%.1f %.1f %.1f %.1f %.1f %.1f %.1f %.1f\n", m[1], m[2], m[3], m[4], l[1], l[2], l[3], l[4] }' \
    "$work/$name.samples" >"$work/$name.rss"
}
report_process() { # NAME LABEL
  local cpu wall
  read -r cpu wall <"$work/$1.cpu"
  echo "   $2: CPU $cpu s in $wall s ($(awk -v c="$cpu" -v w="$wall" 'BEGIN {printf "%.2f", c / w}') cores)"
  awk '{printf "   RSS largest: VmRSS %s, anon %s, file %s, shmem %s MiB; last: %s, %s, %s, %s MiB\n",
    $1, $2, $3, $4, $5, $6, $7, $8}' "$work/$1.rss"
  thread_table "$work/$1.before" "$work/$1.after" "$cpu"
  cat "$work/$1.xserver" 2>/dev/null
}

# The program's clip, as a player would look at it.
check_clip() { # MP4 FIGURES: FIGURES receives "frames missing"
  local mp4=$1 figures=$2 errors
  ffprobe -v error -select_streams v -show_entries stream=codec_name,width,height,r_frame_rate,bit_rate,duration \
    -of compact=p=0 "$mp4" | sed 's/^/   clip video: /'
  ffprobe -v error -select_streams a -show_entries stream=codec_name,sample_rate,channels,duration \
    -of compact=p=0 "$mp4" | sed 's/^/   clip sound: /'
  errors=$(ffmpeg -nostdin -v error -i "$mp4" -f null - 2>&1)
  if [ -z "$errors" ]; then echo "   clip decodes without a message"; else echo "   clip decode messages:"; echo "$errors" | head -5 | sed 's/^/     /'; fi
  # One frame time is 1/60 s: a longer step between two samples means frames that never reached the encoder.
  ffprobe -v error -select_streams v -show_entries packet=pts_time -of csv=p=0 "$mp4" | sort -g | awk -v out="$figures" '
    NR > 1 { step = int(($1 - last) * 60 + 0.5); if (step > 1) { gaps++; missing += step - 1; if (step - 1 > worst) worst = step - 1 } }
    { last = $1; n++ } NR == 1 { first = $1 }
    END { printf "   clip: %d frames over %.3f s, %d gaps, %d frames missing (longest gap %d)\n",
      n, last - first + 1 / 60, gaps, missing, worst; print n, missing + 0 >out }'
}

run_program() { # ROUND
  local round=$1 home="$work/home.$1" pid clip
  mkdir -p "$home"
  load >"$work/program.$round.load"
  echo "-- program, round $round: load average $(load)"
  "${pin[@]}" env HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
    XDG_CACHE_HOME="$home/.cache" "$program" --tray >"$home/log" 2>&1 </dev/null &
  pid=$!
  sleep 3
  awk '/^(VmRSS|RssAnon|RssFile):/ {printf "%s %.1f MiB ", $1, $2 / 1024} END {print ""}' /proc/"$pid"/status \
    | sed 's/^/   idle, no game: /'
  start_picture
  local waited=0
  until grep -qx quillmar-video /proc/"$pid"/task/*/comm 2>/dev/null; do
    sleep 0.5; waited=$((waited + 1))
    [ "$waited" -gt 60 ] && { echo "   capture did not start"; cat "$home/log"; kill "$pid"; stop_picture; return 1; }
  done
  sleep "$warmup"
  watch_process "$pid" "$secs" "program.$round"
  xdotool key "$save_key"
  for _ in $(seq 60); do
    clip=$(find "$home/Videos/quill.mar" -maxdepth 1 -name '*.mp4' 2>/dev/null | head -1)
    [ -n "$clip" ] && [ -n "$(find "$home/Videos/quill.mar/.quillmar" -maxdepth 1 -name '*.json' 2>/dev/null)" ] && break
    sleep 0.5
  done
  local children
  children=$(pgrep -P "$pid" | tr '\n' ' ')
  [ -n "$children" ] && echo "   child processes: $children"
  stop_picture
  kill -TERM "$pid"
  for _ in $(seq 40); do kill -0 "$pid" 2>/dev/null || break; sleep 0.5; done
  kill -0 "$pid" 2>/dev/null && { echo "   did not quit within 20 s"; kill -KILL "$pid"; }
  wait "$pid" 2>/dev/null
  report_process "program.$round" "program"
  if [ -n "$clip" ]; then
    check_clip "$clip" "$work/program.$round.clip"
  else
    echo "   no clip saved"; echo "0 0" >"$work/program.$round.clip"
  fi
  rm -rf "$home"
}

run_floor() { # ROUND
  local round=$1
  load >"$work/floor.$round.load"
  echo "-- floor, round $round: load average $(load)"
  start_picture
  "${pin[@]}" "$bench" floor "$secs" >"$work/floor.$round" 2>&1
  stop_picture
  awk -v secs="$secs" '/^cpu/ {print $2, secs}' "$work/floor.$round" >"$work/floor.$round.cpu"
  echo "   floor: CPU $(cut -d' ' -f1 "$work/floor.$round.cpu") s in $secs s of feeding"
  grep '^thread' "$work/floor.$round" | sed 's/^/  /'
}

run_ffmpeg() { # ROUND
  local round=$1 ring="$work/ring.$1" pid progress="$work/ffmpeg.$1.progress"
  mkdir -p "$ring"
  load >"$work/ffmpeg.$round.load"
  echo "-- ffmpeg, round $round: load average $(load)"
  start_picture
  "${pin[@]}" ffmpeg -nostdin -hide_banner -loglevel error -nostats -progress "$progress" -stats_period 0.5 \
    -f x11grab -framerate 60 -video_size 1920x1080 -i "$DISPLAY" \
    -thread_queue_size 64 -f pulse -i "$game_sound" -thread_queue_size 64 -f pulse -i bench_mic \
    -filter_complex '[1:a][2:a]amix=inputs=2:duration=longest[a]' -map 0:v -map '[a]' \
    -c:v libx264 -preset superfast -tune zerolatency -profile:v high -pix_fmt yuv420p \
    -b:v 6000000 -maxrate 9000000 -bufsize 9000000 -g 60 -keyint_min 60 -bf 0 -x264-params scenecut=0:8x8dct=1 \
    -c:a aac -b:a 192k -ar 48000 -ac 2 \
    -f segment -segment_time 2 -segment_wrap 60 -segment_format mpegts -reset_timestamps 1 "$ring/%03d.ts" \
    >"$work/ffmpeg.$round.log" 2>&1 &
  pid=$!
  sleep "$warmup"
  local f0 d0 u0 f1 d1 u1
  read -r f0 d0 u0 < <(progress_frames "$progress")
  watch_process "$pid" "$secs" "ffmpeg.$round"
  read -r f1 d1 u1 < <(progress_frames "$progress")
  kill -INT "$pid"
  wait "$pid" 2>/dev/null
  stop_picture
  echo "$((f1 - f0)) $((d1 - d0))" >"$work/ffmpeg.$round.frames"
  report_process "ffmpeg.$round" "ffmpeg"
  echo "   ffmpeg: $((f1 - f0)) frames encoded in the window (60 per second: $(awk '{printf "%d", $2 * 60}' "$work/ffmpeg.$round.cpu")), $((d1 - d0)) dropped, $((u1 - u0)) duplicated;" \
    "ring: $(ls "$ring" | wc -l) segments, $(du -sm "$ring" | cut -f1) MB"
  [ -s "$work/ffmpeg.$round.log" ] && head -5 "$work/ffmpeg.$round.log" | sed 's/^/   ffmpeg said: /'
  rm -rf "$ring"
}
progress_frames() { # PROGRESS: the last "frame", "drop_frames" and "dup_frames" written
  awk -F= '/^frame=/ {f = $2} /^drop_frames=/ {d = $2} /^dup_frames=/ {u = $2} END {print f + 0, d + 0, u + 0}' "$1"
}

echo "== $(date -u '+%F %T') UTC; $(nproc) cores; measured on ${cores:-all cores}; $secs s per arm after $warmup s of warm-up"
for round in $(seq 1 "$rounds"); do
  echo "== round $round"
  run_program "$round"
  run_floor "$round"
  run_ffmpeg "$round"
done
echo "== load average after: $(load)"

echo
echo "== summary: CPU in cores busy over the window; per frame: CPU per frame encoded (the program's frames in the"
echo "   window from its clip's frames and gaps, the floor's all of them, ffmpeg's from -progress)"
echo "| round | load before program, floor, ffmpeg | program | floor | ffmpeg (frames) | program / floor | per frame | program / ffmpeg | per frame | program RssAnon / RssFile, largest | ffmpeg RssAnon | clip: frames, missing |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
for round in $(seq 1 "$rounds"); do
  read -r pc pw <"$work/program.$round.cpu"
  read -r fc fw <"$work/floor.$round.cpu"
  read -r gc gw <"$work/ffmpeg.$round.cpu"
  read -r gframes _ <"$work/ffmpeg.$round.frames"
  read -r pframes pmissing <"$work/program.$round.clip"
  read -r _ panon pfile _ <"$work/program.$round.rss"
  read -r _ ganon _ <"$work/ffmpeg.$round.rss"
  loads="$(cut -d' ' -f1 "$work/program.$round.load"), $(cut -d' ' -f1 "$work/floor.$round.load"), $(cut -d' ' -f1 "$work/ffmpeg.$round.load")"
  awk -v r="$round" -v loads="$loads" -v pc="$pc" -v pw="$pw" -v fc="$fc" -v fw="$fw" -v gc="$gc" -v gw="$gw" \
    -v gf="$gframes" -v pf="$pframes" -v pm="$pmissing" -v pa="$panon" -v pfi="$pfile" -v ga="$ganon" 'BEGIN {
      p = pc / pw; f = fc / fw; g = gc / gw
      # The clip spans (frames + missing) / 60 s; the window lasted pw s at the same rate.
      pframe = pf > 0 ? pc / (pf * pw / ((pf + pm) / 60)) : 0
      fframe = fc / (fw * 60)
      gframe = gf > 0 ? gc / gf : 0
      printf "| %d | %s | %.3f | %.3f | %.3f (%d) | %.3f | %s | %.3f | %s | %s / %s MiB | %s MiB | %d, %d |\n",
        r, loads, p, f, g, gf, p / f, (pframe > 0 ? sprintf("%.3f", pframe / fframe) : "-"), p / g,
        ((pframe > 0 && gframe > 0) ? sprintf("%.3f", pframe / gframe) : "-"), pa, pfi, ga, pf, pm }'
done

echo
echo "== picture: the program's encoder and ffmpeg on the same 120 grabbed frames, 10 s each"
psnr="$work/psnr"
mkdir -p "$psnr"
start_picture
"${pin[@]}" "$bench" floor 10 "$psnr" >/dev/null
stop_picture
"${pin[@]}" ffmpeg -nostdin -v error -f rawvideo -pix_fmt nv12 -video_size 1920x1080 -framerate 60 -stream_loop -1 \
  -i "$psnr/source.yuv" -frames:v 600 -c:v libx264 -preset superfast -tune zerolatency -profile:v high -pix_fmt yuv420p \
  -b:v 6000000 -maxrate 9000000 -bufsize 9000000 -g 60 -keyint_min 60 -bf 0 -x264-params scenecut=0:8x8dct=1 \
  -f h264 "$psnr/ffmpeg.h264"
for stream in floor ffmpeg; do
  y=$(ffmpeg -nostdin -hide_banner -nostats -i "$psnr/$stream.h264" \
    -f rawvideo -pix_fmt nv12 -video_size 1920x1080 -framerate 60 -stream_loop -1 -i "$psnr/source.yuv" \
    -lavfi "[0:v][1:v]psnr=shortest=1" -f null - 2>&1 | grep -o 'PSNR y:[0-9.]*' | cut -d: -f2)
  frames=$(ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$psnr/$stream.h264")
  rate=$(awk -v b="$(stat -c %s "$psnr/$stream.h264")" -v n="$frames" 'BEGIN {printf "%.2f", b * 8 / (n / 60) / 1e6}')
  errors=$(ffmpeg -nostdin -v error -i "$psnr/$stream.h264" -f null - 2>&1)
  echo "   $stream: Y-PSNR $y dB, $frames frames, $rate Mbit/s, $([ -z "$errors" ] && echo "decodes without a message" || echo "decode messages: $errors")"
done
