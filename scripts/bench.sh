#!/usr/bin/env bash
# Measures mediasiftd against the floor (open, fstat, read 64 KiB, close) and
# against the tools users would otherwise pick, on a corpus built from the
# committed fixtures. Installs what it needs, makes a plain release build in
# build/release and runs the benchmark there. Arguments go to the benchmark:
#   scripts/bench.sh [--files N] [--callers C] [--ffprobe-sample K] [--json FILE]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh --with-tools

build=$root/build/release
# The service spawns its worker from this tree, so the run measures the
# worker built here.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DMS_SANITIZE=OFF -DMS_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target mediasiftd mediasiftd-bench >&2

# A --json path is taken relative to where the command was given.
args=()
while [[ $# -gt 0 ]]; do
  if [[ "$1" == "--json" && $# -ge 2 ]]; then
    case "$2" in
      /*) args+=("$1" "$2") ;;
      *) args+=("$1" "$OLDPWD/$2") ;;
    esac
    shift 2
  else
    args+=("$1")
    shift
  fi
done
exec "$build/bin/mediasiftd-bench" --binary "$build/bin/mediasiftd" --data "$root/tests/data" "${args[@]}"
