#!/usr/bin/env bash
# The load run of both programs (bench/loadrun): muldrin with N simulated Q330s, then
# kessaro with M simulated Altus links, on x86-64 and on 32-bit ARM under qemu-arm.
#
#   scripts/loadrun.sh [--target host|armel|both] [loadrun options...]
#     Release builds of the programs and the load run (build/loadrun-host,
#     build/loadrun-armel), then the full run (default 100 Q330s, 20 Altus links, 60 s)
#     for each target. On armel the programs and the load run (which reads the ring, so
#     it is built for the same target) run under qemu-arm; the simulators run natively
#     from the host build. Options after --target go to loadrun (see loadrun -h).
#
#   scripts/loadrun.sh --target host|armel --cpu [-n 1,10,100] [-m 1,5,20] [-t 120] ...
#     The CPU mode: per size, one after the other, the program with that many paced
#     dataloggers (one record a second each); once all deliver, its CPU over -t seconds
#     (% of one core, user/system/total, from /proc/<pid>/stat), then its system calls per
#     datalogger-second with the calls counted most over --count-seconds (default 30; perf
#     in a second run of each size, since its counters cost CPU, else strace after the CPU
#     window; --syscalls picks).
#     --only muldrin|kessaro runs one half; --quick one datalogger each for 3 s. Under
#     armel the CPU figures are the emulator's and no timings; the call counts hold.
#       scripts/loadrun.sh --target host --cpu                       # the full table
#       scripts/loadrun.sh --target armel --cpu -n 10 -m 3 -t 60     # the reduced load
#
#   scripts/loadrun.sh --ci muldrin|kessaro|cpu --loadrun PATH [--emu 'WORDS']
#     The reduced run ctest registers: 10 Q330s or 3 Altus links for a few seconds, every
#     datalogger delivering and no sample lost (the memory goals are printed only); cpu:
#     the CPU mode's quick form for muldrin (one Q330, a few seconds). With --emu the load
#     run and every program it starts run under that emulator.
#
# Exit status: non-zero when a run fails its checks.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ "${1:-}" = "--ci" ]; then
  part=${2:?--ci needs muldrin, kessaro or cpu}
  shift 2
  loadrun="" emu=""
  while [ $# -gt 0 ]; do
    case "$1" in
      --loadrun) loadrun=$2; shift 2 ;;
      --emu) emu=$2; shift 2 ;;
      *) echo "loadrun.sh: unknown option $1" >&2; exit 2 ;;
    esac
  done
  [ -n "$loadrun" ] || { echo "loadrun.sh: --ci needs --loadrun PATH" >&2; exit 2; }
  if [ "$part" = cpu ]; then
    # shellcheck disable=SC2086 # the emulator prefix is a list of words
    exec $emu "$loadrun" --quick --only muldrin --emu "$emu"
  fi
  # shellcheck disable=SC2086 # the emulator prefix is a list of words
  # kessaro's links take about 16 s from the first call to a running stream (the block-mode
  # opening and the stream start-up run on real time), so its half runs for 45 s.
  exec $emu "$loadrun" --only "$part" -n 10 -m 3 -t 5 -T 45 --no-baseline --data-only --emu "$emu"
fi

target=both
if [ "${1:-}" = "--target" ]; then
  target=${2:?--target needs host, armel or both}
  shift 2
fi
jobs=${LOADRUN_JOBS:-3}
emu="qemu-arm -L /usr/arm-linux-gnueabi"
# The build folders; an existing one is built as it is configured (it should be a
# release build).
host=${LOADRUN_HOST_BUILD:-build/loadrun-host}
armel=${LOADRUN_ARMEL_BUILD:-build/loadrun-armel}

build() {  # folder, extra cmake arguments...
  local dir=$1
  shift
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=OFF \
      -DVANTREL_BENCH=OFF "$@" >/dev/null
  fi
  ninja -C "$dir" -j "$jobs" loadrun >/dev/null
}

status=0
build "$host"
if [ "$target" = host ] || [ "$target" = both ]; then
  echo "==== x86-64 (native)"
  "$host/bench/loadrun/loadrun" "$@" || status=1
fi
if [ "$target" = armel ] || [ "$target" = both ]; then
  build "$armel" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/Toolchain-armel.cmake"
  echo "==== armel (programs under qemu-arm, simulators native)"
  # shellcheck disable=SC2086
  $emu "$armel/bench/loadrun/loadrun" --emu "$emu" --sim-emu "" \
    --q330sim "$host/src/bin/sim/q330sim/q330sim" \
    --altussim "$host/src/bin/sim/altussim/altussim" "$@" || status=1
fi
exit $status
