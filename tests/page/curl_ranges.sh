#!/usr/bin/env bash
# The test host answers curl as the page server should: 206 windows of at most 4 MiB with exact bytes, 416
# for what cannot be served, and its own 200 answers kept as they are when a Range header comes along.
# Usage: curl_ranges.sh PAGE_HOST
set -euo pipefail
host_bin=$1
work=$(mktemp -d)
host_pid=
cleanup() {
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

clips="$work/home/Videos/quill.mar"
mkdir -p "$clips/.quillmar"
head -c 10000000 /dev/urandom >"$clips/partie.mp4"
head -c 3000 /dev/urandom >"$clips/.quillmar/partie.jpg"
head -c 1000 /dev/urandom >"$clips/ma partie+%é.mp4"

mkfifo "$work/in"
"$host_bin" --home "$work/home" <"$work/in" >"$work/out" 2>"$work/log" &
host_pid=$!
exec 3>"$work/in" # standard input stays open while the test runs
for _ in $(seq 300); do [ -s "$work/out" ] && break; sleep 0.1; done
base=$(head -n 1 "$work/out")
[[ $base == http://127.0.0.1:*/ ]] || { echo "no base URL: '$base'"; cat "$work/log"; exit 1; }

failures=0
# check NAME URL_PATH RANGE STATUS CONTENT_RANGE START LENGTH [SOURCE]: the body is LENGTH bytes of SOURCE from
# START, or, when START is "-", the text LENGTH ("" for an empty body).
check() {
  local name=$1 path=$2 range=$3 status=$4 content_range=$5 start=$6 length=$7 source=${8:-$clips/partie.mp4}
  local args=(-s -D "$work/headers" -o "$work/body" -w '%{http_code}')
  [ "$range" != - ] && args+=(-H "Range: $range")
  local got
  got=$(curl "${args[@]}" "$base${path#/}")
  local got_range
  got_range=$(grep -i '^content-range:' "$work/headers" | cut -d' ' -f2- | tr -d '\r' || true)
  if [ "$got" != "$status" ] || [ "$got_range" != "$content_range" ]; then
    echo "FAIL $name: status $got, Content-Range '$got_range' (wanted $status, '$content_range')"
    failures=$((failures + 1))
    return
  fi
  local problem=
  if [ "$start" = - ]; then
    [ "$(cat "$work/body")" = "$length" ] || problem="body '$(head -c 40 "$work/body")'"
  else
    local got_length
    got_length=$(grep -i '^content-length:' "$work/headers" | cut -d' ' -f2 | tr -d '\r')
    if [ "$got_length" != "$length" ] || [ "$(stat -c %s "$work/body")" != "$length" ]; then
      problem="Content-Length $got_length"
    elif ! cmp -s -i "$start:0" -n "$length" "$source" "$work/body"; then
      problem="bytes differ"
    fi
  fi
  if [ -n "$problem" ]; then
    echo "FAIL $name: $problem"
    failures=$((failures + 1))
    return
  fi
  echo "ok $name"
}

check "no range" /clip/partie - 206 "bytes 0-4194303/10000000" 0 4194304
check "open from 9000000" /clip/partie "bytes=9000000-" 206 "bytes 9000000-9999999/10000000" 9000000 1000000
check "suffix 500" /clip/partie "bytes=-500" 206 "bytes 9999500-9999999/10000000" 9999500 500
check "suffix 0" /clip/partie "bytes=-0" 416 "bytes */10000000" - ""
check "first past the end" /clip/partie "bytes=10000000-" 416 "bytes */10000000" - ""
check "suffix past the start" /clip/partie "bytes=-20000000" 206 "bytes 0-4194303/10000000" 0 4194304
check "first after last" /clip/partie "bytes=20-10" 416 "bytes */10000000" - ""
check "two ranges" /clip/partie "bytes=100-199, 300-399" 206 "bytes 100-199/10000000" 100 100
check "other unit" /clip/partie "items=5-9" 206 "bytes 0-4194303/10000000" 0 4194304
check "thumbnail keeps its 200" /thumb/partie "bytes=0-1" 200 "" 0 3000 "$clips/.quillmar/partie.jpg"
check "escaped id" "/clip/ma%20partie+%25%C3%A9" - 206 "bytes 0-999/1000" 0 1000 "$clips/ma partie+%é.mp4"
check "missing clip" /clip/autre - 404 "" - introuvable
grep -q "request GET /clip/partie range=bytes=9000000- status=206" "$work/log" \
  || { echo "FAIL the host does not log its requests"; failures=$((failures + 1)); }

echo "$((12 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
