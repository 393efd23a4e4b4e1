#!/usr/bin/env bash
# The demo: muldrin acquires from the simulated Q330 (q330sim) on the loopback into a ring
# in a temporary folder, and ringtool follows the packets for about 20 s. Then everything
# started here is stopped and the folder with the logs and the ring is named.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --host-only
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=OFF -DVANTREL_BENCH=OFF >/dev/null
ninja -C build/release muldrin ringtool q330sim
BIN=$PWD/build/release/src/bin
PF=$PWD/src/bin/rt/muldrin/muldrin.pf
SECONDS_TO_FOLLOW=${SECONDS_TO_FOLLOW:-20}

DIR=$(mktemp -d /tmp/muldrin-demo.XXXXXX)
RING=$DIR/ring1
SIM_PID=
MULDRIN_PID=
stop_all() {
  [ -n "$MULDRIN_PID" ] && kill -TERM "$MULDRIN_PID" 2>/dev/null && wait "$MULDRIN_PID" 2>/dev/null || true
  [ -n "$SIM_PID" ] && kill -TERM "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null || true
}
trap stop_all EXIT

# The simulated datalogger answers on 127.0.0.1, control port 5332 and data port 5333,
# with the serial number the example parameter file names.
"$BIN/sim/q330sim/q330sim" -s 0100000000000001 >"$DIR/q330sim.log" 2>&1 &
SIM_PID=$!
"$BIN/ringtool/ringtool" create -s 16M "$RING"
(cd "$DIR" && exec "$BIN/rt/muldrin/muldrin" -pf "$PF" TA data "$RING" cmd "$RING" log "$RING" st "$RING") \
  >"$DIR/muldrin.log" 2>&1 &
MULDRIN_PID=$!

echo "== following $RING for ${SECONDS_TO_FOLLOW} s"
timeout "$SECONDS_TO_FOLLOW" "$BIN/ringtool/ringtool" follow -v "$RING" | tee "$DIR/follow.log" || true
stop_all
trap - EXIT
echo
echo "== packets by source name"
awk '$2 ~ /\// {print $2}' "$DIR/follow.log" | sort | uniq -c
echo
echo "Files are in $DIR: the ring (ring1), muldrin.log, q330sim.log and follow.log."
