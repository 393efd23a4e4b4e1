#!/usr/bin/env bash
# The whole test suite: host tests under AddressSanitizer + UndefinedBehaviorSanitizer,
# thread tests under ThreadSanitizer, the suite cross-built for 32-bit ARM soft-float
# (arm-linux-gnueabi) and run under qemu-arm, then every fuzz target for a bounded time.
# Exits non-zero on the first failure. FUZZ_SECONDS (default 20) bounds each fuzz run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-20}

bash scripts/deps.sh

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

step() { printf '\n==== %s\n' "$*"; }

step "host build, AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DVANTREL_SANITIZE=address -DVANTREL_WERROR=ON >/dev/null
ninja -C build/asan
ctest --test-dir build/asan -j "$jobs" --output-on-failure

step "thread tests, ThreadSanitizer"
cmake -S . -B build/tsan -G Ninja -DVANTREL_SANITIZE=thread -DVANTREL_WERROR=ON -DVANTREL_BENCH=OFF >/dev/null
ninja -C build/tsan
# ThreadSanitizer cannot map its shadow with this kernel's address-space randomisation:
# run without it.
setarch "$(uname -m)" -R ctest --test-dir build/tsan -L threads -j "$jobs" --output-on-failure

step "cross build for arm-linux-gnueabi, tests under qemu-arm"
cmake -S . -B build/armel -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/Toolchain-armel.cmake" \
  -DVANTREL_WERROR=ON >/dev/null
ninja -C build/armel
ctest --test-dir build/armel -LE noemu -j "$jobs" --output-on-failure

step "fuzz targets, ${fuzz_seconds} s each"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DVANTREL_FUZZ=ON -DVANTREL_TESTS=OFF \
  -DVANTREL_WERROR=ON >/dev/null
ninja -C build/fuzz
shopt -s nullglob
fuzzers=(build/fuzz/tests/fuzz/*_fuzz)
pids=()
for f in "${fuzzers[@]}"; do
  name=$(basename "$f")
  work=build/fuzz/corpus-run/$name
  rm -rf "$work" && mkdir -p "$work"
  [ -d "tests/fuzz/corpus/$name" ] && cp -r "tests/fuzz/corpus/$name/." "$work/"
  "$f" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="build/fuzz/$name-" "$work" >"build/fuzz/$name.log" 2>&1 &
  pids+=("$!:$name")
done
fuzz_failed=0
for entry in "${pids[@]}"; do
  pid=${entry%%:*}
  name=${entry#*:}
  if wait "$pid"; then
    echo "fuzz $name: clean ($(grep -c '' "build/fuzz/$name.log") log lines)"
  else
    echo "fuzz $name: FAILED"; tail -40 "build/fuzz/$name.log"; fuzz_failed=1
  fi
done
[ $fuzz_failed -eq 0 ]
printf '\n%d fuzz targets ran clean\n' "${#fuzzers[@]}"
