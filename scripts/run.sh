#!/usr/bin/env bash
# Builds the service and its client, then asks the service about files:
#
#   scripts/run.sh [--bus ADDRESS] [--] [PATH...]
#
# Without --bus (or MEDIASIFT_BUS_ADDRESS) it starts a private dbus-daemon
# whose activation folder points at the built service, so the first call
# starts the service, and stops that bus again at the end. With a bus named,
# the call goes there, and that bus must know how to start (or already run)
# the service. Relative PATHs are taken from the folder the command was given
# in. Without PATHs it parses a few of the bundled sample files. The exit
# status is the client's (0 all parsed, 1 some not, 2 usage, 3 no service).
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
root=$PWD

usage() { echo "usage: scripts/run.sh [--bus ADDRESS] [--] [PATH...]"; }
bus_address=${MEDIASIFT_BUS_ADDRESS:-}
paths=()
while [[ $# -gt 0 ]]; do
  case $1 in
    -h | --help) usage; exit 0 ;;
    --bus)
      [[ $# -ge 2 ]] || { usage >&2; exit 2; }
      bus_address=$2
      shift 2
      ;;
    --) shift; paths+=("$@"); break ;;
    -*) echo "scripts/run.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    *) paths+=("$1"); shift ;;
  esac
done

scripts/install-deps.sh

build=$root/build/release
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DMS_SANITIZE=OFF -DMS_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target mediasiftd mediasift >/dev/null

if [[ ${#paths[@]} -eq 0 ]]; then
  for sample in tests/data/playlist/road_trip.m3u8 tests/data/mp4/audio.m4a tests/data/image/thumb_motorola.jpg \
    tests/data/id3/v23_one_picture.mp3; do
    [[ -f $sample ]] && paths+=("$root/$sample")
  done
fi

if [[ -z "$bus_address" ]]; then
  work=$(mktemp -d /tmp/mediasift-run-XXXXXX)
  bus_pid=
  cleanup() {
    [[ -n "$bus_pid" ]] && kill "$bus_pid" 2>/dev/null && wait "$bus_pid" 2>/dev/null
    rm -rf "$work"
  }
  trap cleanup EXIT
  mkdir -p "$work/services" "$work/sockets"
  printf '[D-BUS Service]\nName=com.kivo.mediasiftd\nExec=%s\n' "$build/bin/mediasiftd" \
    >"$work/services/com.kivo.mediasiftd.service"
  # The same bus configuration the tests use, its folders filled in.
  sed -e "s|@SOCKET_DIR@|$work/sockets|" -e "s|@SERVICE_DIR@|$work/services|" -e "s|@EXTRA@||" \
    src/testing/private_bus.conf >"$work/bus.conf"
  # The service inherits the bus's environment: it quits soon after its work,
  # and in any case when the bus goes away.
  QUIT_DELAY=${QUIT_DELAY:-2} dbus-daemon --config-file="$work/bus.conf" --nofork --print-address=3 \
    3>"$work/address" 2>"$work/bus.log" &
  bus_pid=$!
  for _ in $(seq 100); do
    [[ -s "$work/address" ]] && break
    sleep 0.05
  done
  bus_address=$(head -n1 "$work/address")
  [[ -n "$bus_address" ]] || { echo "the private bus did not start:" >&2; cat "$work/bus.log" >&2; exit 1; }
fi

status=0
cd "$caller"
"$build/bin/mediasift" --address "$bus_address" parse -- "${paths[@]}" || status=$?
exit $status
