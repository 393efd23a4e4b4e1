#!/usr/bin/env bash
# The whole test suite: the formatting check, host tests under AddressSanitizer +
# UndefinedBehaviorSanitizer, thread tests under ThreadSanitizer, the suite cross-built for
# 32-bit ARM soft-float (arm-linux-gnueabi) and run under qemu-arm, a release build that
# runs every benchmark once on its smallest size, then every fuzz target for a bounded
# time. Exits non-zero on the first failure. FUZZ_SECONDS (default 20) bounds each fuzz run.
# Every ctest stage fails when it finds no tests, so a stage whose tests vanished is seen.
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

step "formatting (root .clang-format)"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
else
  find src tests bench \( -name '*.cpp' -o -name '*.h' \) -print0 |
    xargs -0 clang-format --dry-run --Werror
fi

step "host build, AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DVANTREL_SANITIZE=address -DVANTREL_WERROR=ON \
  -DVANTREL_BENCH=OFF >/dev/null
ninja -C build/asan
ctest --test-dir build/asan --no-tests=error -j "$jobs" --output-on-failure

step "thread tests, ThreadSanitizer"
cmake -S . -B build/tsan -G Ninja -DVANTREL_SANITIZE=thread -DVANTREL_WERROR=ON -DVANTREL_BENCH=OFF >/dev/null
ninja -C build/tsan thread_tests
# ThreadSanitizer cannot map its shadow with this kernel's address-space randomisation:
# run without it.
setarch "$(uname -m)" -R ctest --test-dir build/tsan -L threads --no-tests=error -j "$jobs" \
  --output-on-failure

step "cross build for arm-linux-gnueabi, tests under qemu-arm"
cmake -S . -B build/armel -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/Toolchain-armel.cmake" \
  -DVANTREL_WERROR=ON >/dev/null
ninja -C build/armel
ctest --test-dir build/armel -LE noemu --no-tests=error -j "$jobs" --output-on-failure

step "release build, every benchmark once on its smallest size"
# Its own folder: scripts/run.sh configures build/release without benchmarks.
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=OFF \
  -DVANTREL_BENCH=ON -DVANTREL_WERROR=ON >/dev/null
ninja -C build/bench benchmarks
shopt -s nullglob
benches=(build/bench/bench/*_bench)
[ ${#benches[@]} -gt 0 ] || { echo "no benchmarks built"; exit 1; }
for b in "${benches[@]}"; do
  echo "-- $(basename "$b")"
  VANTREL_BENCH_SMOKE=1 "$b" --benchmark_min_time=0.01
done

step "fuzz targets, ${fuzz_seconds} s each"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DVANTREL_FUZZ=ON -DVANTREL_TESTS=OFF \
  -DVANTREL_WERROR=ON >/dev/null
ninja -C build/fuzz
fuzzers=(build/fuzz/tests/fuzz/*_fuzz)
# At most one target per core at a time, so each gets the time it was given.
declare -A running=()
fuzz_failed=0
reap_one() {
  local done_pid
  if wait -n -p done_pid; then
    echo "fuzz ${running[$done_pid]}: clean ($(grep -c '' "build/fuzz/${running[$done_pid]}.log") log lines)"
  else
    echo "fuzz ${running[$done_pid]}: FAILED"; tail -40 "build/fuzz/${running[$done_pid]}.log"
    fuzz_failed=1
  fi
  unset "running[$done_pid]"
}
for f in "${fuzzers[@]}"; do
  name=$(basename "$f")
  work=build/fuzz/corpus-run/$name
  rm -rf "$work" && mkdir -p "$work"
  [ -d "tests/fuzz/corpus/$name" ] && cp -r "tests/fuzz/corpus/$name/." "$work/"
  while [ ${#running[@]} -ge "$jobs" ]; do reap_one; done
  "$f" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="build/fuzz/$name-" "$work" >"build/fuzz/$name.log" 2>&1 &
  running[$!]=$name
done
while [ ${#running[@]} -gt 0 ]; do reap_one; done
[ $fuzz_failed -eq 0 ]
printf '\n%d fuzz targets ran clean\n' "${#fuzzers[@]}"
