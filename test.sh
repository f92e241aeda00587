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

# With QUILL_CHECK_HOME=1 (CI sets it) the test run must leave the real home as it found it: a listing of it
# (type, path, size, modification time) is taken just before and after the run and compared. Left out: the
# compiler's and npm's caches, which builds and scripts/setup write (also those of other work trees on a
# shared machine, at any moment) and a test run never does. On a developer's machine other programs write
# the home at any time, so the check is for CI's machine, where nothing else runs.
home_listing() {
  { find "$HOME" \( -path "$HOME/.cache/ccache" -o -path "$HOME/.config/ccache" -o -path "$HOME/.npm" \) -prune \
      -o -printf '%y %P %s %T@\n' 2>/dev/null || true; } | sort
}
if [ "${QUILL_CHECK_HOME:-0}" = 1 ]; then
  home_before=$(home_listing)
fi

status=0
scripts/desktop-session ctest --test-dir build --output-on-failure -j "$(nproc)" "$@" || status=$?

if [ "${QUILL_CHECK_HOME:-0}" = 1 ]; then
  if ! changes=$(diff <(echo "$home_before") <(home_listing)); then
    echo "test.sh: the test run changed the real home ($HOME):"
    echo "$changes"
    status=1
  fi
fi
exit "$status"
