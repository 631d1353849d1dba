#!/usr/bin/env bash
# What the installer window costs while its progress bar animates, on a private X server:
#   frames_per_second, cpu_percent_of_core, cpu_vs_floor, main_wakes_per_frame,
#   minimized_wakes_per_second
#       (window_idle_bench.cpp says what each is; target: CPU clearly under 1 % of a core, one
#       main-thread wake per frame, none to speak of while minimized)
#   file_calls_per_frame   file system calls (open, stat, access, ...) of the whole process while
#                          it animates, per frame, from a second run under strace (target: 0)
# Usage: bench/window_idle_bench.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
seconds="${2:-5}"
cmake --build "$build" --target window_idle_bench >/dev/null
bench="$build/bench/window_idle_bench"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

run() { xvfb-run -a -s "-screen 0 1366x768x24" env QT_QPA_PLATFORM=xcb "$@"; }
run "$bench" "$seconds" | tee "$work/plain.out" | grep -v '^minimized' || true
grep '^minimized' "$work/plain.out"
run strace -f -qq -e trace=%file -o "$work/trace" "$bench" "$seconds" > "$work/traced.out"
frames="$(awk '/^frames_per_second/ { print $2 * '"$seconds"' }' "$work/traced.out")"
awk -v frames="$frames" '
  /vexa-bench-mark-begin/ { inside = 1; next }
  /vexa-bench-mark-end/ { inside = 0 }
  inside { calls++ }
  END { printf "file_calls_per_frame %.2f\n", (frames > 0 ? calls / frames : 0) }' "$work/trace"
