#!/usr/bin/env bash
# Installs what is missing, builds in build/ and runs every test inside a throw-away desktop (Xvfb,
# openbox, PulseAudio null sink). Exits non-zero on any failure; CTest's summary ends the output.
# Extra arguments go to ctest (for example: ./test.sh -L core).
set -euo pipefail
cd "$(dirname "$0")"

bash scripts/setup
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

# Threaded engine tests once more under ThreadSanitizer, and the reader's fuzz target for a bounded time.
if [ -x scripts/extra-checks ] && [ "${QUILL_SKIP_EXTRA:-0}" != 1 ] && [ "$#" -eq 0 ]; then
  scripts/extra-checks
fi

scripts/desktop-session ctest --test-dir build --output-on-failure -j "$(nproc)" "$@"
