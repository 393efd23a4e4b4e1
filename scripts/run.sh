#!/usr/bin/env bash
# The demo, in two acts, each in a temporary folder with its ring file:
# 1. muldrin acquires from the simulated Q330 (q330sim) on the loopback, and ringtool
#    follows the packets for about 20 s.
# 2. kessaro acquires from two simulated Altus dataloggers (altussim): K1234 streams over
#    a TCP-client link, E5678 calls in to a TCP-server link with two event files waiting.
#    ringtool follows the packets for about 20 s, a remote "status" command is sent and
#    answered, and kessaro is stopped with SIGTERM.
# Everything started here is stopped, and the folders with the logs and rings are named.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --host-only
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=OFF -DVANTREL_BENCH=OFF >/dev/null
ninja -C build/release muldrin ringtool q330sim kessaro altussim
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

# ---- kessaro and two simulated Altus dataloggers ----
KPF=$PWD/src/bin/rt/kessaro/kessaro
KDIR=$(mktemp -d /tmp/kessaro-demo.XXXXXX)
KRING=$KDIR/ring1
ASIM_PID=
KESSARO_PID=
stop_kessaro() {
  [ -n "$KESSARO_PID" ] && kill -TERM "$KESSARO_PID" 2>/dev/null && wait "$KESSARO_PID" 2>/dev/null || true
  [ -n "$ASIM_PID" ] && kill -TERM "$ASIM_PID" 2>/dev/null && wait "$ASIM_PID" 2>/dev/null || true
}
trap stop_kessaro EXIT
"$BIN/ringtool/ringtool" create -s 16M "$KRING"
# The example parameter file: link tcp1 connects to 127.0.0.1:5001 (datalogger K1234,
# streaming), link srv1 listens on port 5002 for calls (datalogger E5678).
# K1234: a K2 streaming three channels of 100 samples/s, paced by the clock, waiting on
# port 5001. E5678: an Etna with two event files, calling in to port 5002 (again and again
# until kessaro takes the call).
"$BIN/sim/altussim/altussim" \
  -tcpserver 5001 -serial 1234 -station K1234 -model K2 -streams 3:100:100:30 -paced \
  -- -dialin 5002 -serial 5678 -station E5678 -model Etna -banner-model "Altus Etna" \
  -banner-serial 5678 -events 2 >"$KDIR/altussim.log" 2>&1 &
ASIM_PID=$!
(cd "$KDIR" && exec "$BIN/rt/kessaro/kessaro" -pf "$KPF" -state state kes cmd "$KRING" out "$KRING") \
  >"$KDIR/kessaro.log" 2>&1 &
KESSARO_PID=$!

echo
echo "== following $KRING for ${SECONDS_TO_FOLLOW} s"
timeout "$SECONDS_TO_FOLLOW" "$BIN/ringtool/ringtool" follow -v -o "$KRING" | tee "$KDIR/follow.log" || true
echo
echo "== ringtool command $KRING kes status"
"$BIN/ringtool/ringtool" command -w 20 "$KRING" kes status | tee "$KDIR/status.log" || true
stop_kessaro
trap - EXIT
echo
echo "== kessaro stopped by SIGTERM:"
grep -aoE "kessaro: .*(haltbysignal|kessaro_stop).*" "$KDIR/kessaro.log" || true
echo
echo "== packets by source name"
awk '$1 ~ /^[0-9]+$/ && $2 ~ /\// {print $2}' "$KDIR/follow.log" | sort | uniq -c
echo
echo "== event files saved"
ls -lR "$KDIR/evt" 2>/dev/null || echo "(none)"
echo
echo "Files are in $KDIR: the ring (ring1), kessaro.log, altussim.log, follow.log, status.log,"
echo "the state file (state) and the event files (evt/)."
