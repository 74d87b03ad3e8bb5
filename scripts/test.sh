#!/usr/bin/env bash
# Installs what is needed, builds the suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, runs bounded libFuzzer runs of every fuzz target
# (when clang is present) and then the whole test suite through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

scripts/install-deps.sh

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0

build=$root/build/asan
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DMS_SANITIZE=ON >/dev/null
cmake --build "$build" -j "$jobs"

# A plain build checks what sanitizers would hide: the worker's memory
# ceiling, which sanitizer builds cannot set, and the service's resident
# memory settling under hostile calls, which their allocator blurs.
plain=$root/build/plain
cmake -S . -B "$plain" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# It also runs the worker's code under valgrind's memcheck, which the
# sanitizers rule out.
cmake --build "$plain" -j "$jobs" --target test_worker test_load_leaks test_load_hostile mediasiftd
plain_status=0
(cd "$plain" && ctest -R 'Confinement|HostilePayloads' --output-on-failure) || plain_status=$?
(cd "$plain" && ctest -L valgrind --output-on-failure) || plain_status=$?

fuzz_status=0
if command -v clang++ >/dev/null; then
  fuzz=$root/build/fuzz
  CC=clang CXX=clang++ cmake -S . -B "$fuzz" -DCMAKE_BUILD_TYPE=Debug -DMS_SANITIZE=ON \
    -DMS_LIBFUZZER=ON -DMS_BUILD_TESTS=OFF >/dev/null
  cmake --build "$fuzz" -j "$jobs" --target fuzz_all
  (cd "$fuzz" && ctest -L fuzz-run -j "$jobs" --output-on-failure) || fuzz_status=$?
else
  echo "clang not found: fuzz targets only replay their seeds" >&2
fi

# The "image" and "location" members of the image fixtures' records against
# identify and exiftool, where both are installed; otherwise only the
# committed records are compared, by the suite.
image_peer_status=0
if command -v identify >/dev/null && command -v exiftool >/dev/null; then
  /usr/bin/python3 tests/data/check_images.py || image_peer_status=$?
fi

# The "audio" and "video" members of the fixtures' records against ffprobe
# and mutagen, where both are installed; otherwise only the committed
# records are compared, by the suite.
peer_status=0
if command -v ffprobe >/dev/null && /usr/bin/python3 -c 'import mutagen' 2>/dev/null; then
  /usr/bin/python3 tests/data/check_peers.py || peer_status=$?
fi

cd "$build"
suite_status=0
ctest -j "$jobs" --output-on-failure "$@" || suite_status=$?
if [[ $plain_status -ne 0 ]]; then
  echo "plain-build confinement, memory or memcheck tests FAILED (see above)"
  exit "$plain_status"
fi
if [[ $fuzz_status -ne 0 ]]; then
  echo "bounded fuzz runs FAILED (see above)"
  exit "$fuzz_status"
fi
if [[ $image_peer_status -ne 0 ]]; then
  echo "image members disagree with identify or exiftool (see above)"
  exit "$image_peer_status"
fi
if [[ $peer_status -ne 0 ]]; then
  echo "stream members disagree with ffprobe or mutagen (see above)"
  exit "$peer_status"
fi
exit "$suite_status"
