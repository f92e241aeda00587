#!/usr/bin/env bash
# Builds one benchmark executable and runs it on a folder where it writes its files.
# Usage: bench/run_bench.sh <target> [folder]   (default: a new folder under ${TMPDIR:-/tmp}, removed afterwards)
set -euo pipefail
target=$1
shift
here=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$here" -B "$here/build" -G Ninja >/dev/null
cmake --build "$here/build" -j4 --target "$target" >/dev/null
if [ $# -ge 1 ]; then
  exec "$here/build/bench/$target" "$@"
fi
folder=$(mktemp -d "${TMPDIR:-/tmp}/quillmar-bench-XXXXXX")
trap 'rm -rf "$folder"' EXIT
"$here/build/bench/$target" "$folder"
