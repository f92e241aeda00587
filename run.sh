#!/usr/bin/env bash
# Installs what is missing, builds quill.mar and starts it.
set -euo pipefail
cd "$(dirname "$0")"

bash scripts/setup
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

# Without a desktop, show the main job in a throw-away one: a test game, a key press, a saved clip.
if [ -z "${DISPLAY:-}" ]; then
  exec scripts/demo
fi
exec build/app/quillmar "$@"
