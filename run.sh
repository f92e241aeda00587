#!/usr/bin/env bash
# Installs what is missing, builds quill.mar and starts it.
set -euo pipefail
cd "$(dirname "$0")"

bash scripts/setup
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

if [ ! -x build/app/quillmar ]; then
  echo "run.sh: the quillmar program is not built yet (its shell is still to come); the libraries and tests are." >&2
  exit 1
fi
if [ -x scripts/demo ] && [ -z "${DISPLAY:-}" ]; then
  exec scripts/demo
fi
exec build/app/quillmar "$@"
