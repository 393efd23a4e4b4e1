#!/usr/bin/env bash
# The demo, in two acts, each in a temporary folder with its ring file:
# 1. muldrin acquires from the simulated Q330 (q330sim) on the loopback.
# 2. kessaro acquires from two simulated Altus dataloggers (altussim): K1234 streams over
#    a TCP-client link, E5678 calls in to a TCP-server link with two event files waiting.
# In each act ringtool follows the ring from its start (so the registration log shows),
# the demo waits until the program has delivered every channel (at most
# SECONDS_TO_WAIT, default 90 s), prints a readable sample of the decoded packets (their
# headers, not every sample), sends a remote status command that answers, and stops the
# program with SIGTERM. It ends with one line per program: packets and samples per
# channel, and OK or FAIL; the exit status is 1 when one of them failed.
#
# VANTREL_DEMO_BIN=<folder> runs the programs built there (its src/bin) instead of
# building build/release.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -n "${VANTREL_DEMO_BIN:-}" ]; then
  BIN=$VANTREL_DEMO_BIN/src/bin
else
  bash scripts/deps.sh --host-only
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=OFF \
    -DVANTREL_BENCH=OFF >/dev/null
  ninja -C build/release muldrin ringtool q330sim kessaro altussim
  BIN=$PWD/build/release/src/bin
fi
RINGTOOL=$BIN/ringtool/ringtool
SECONDS_TO_WAIT=${SECONDS_TO_WAIT:-90}
PACKETS_SHOWN=${PACKETS_SHOWN:-3}
LOG_LINES_SHOWN=${LOG_LINES_SHOWN:-40}
SUMMARY=()
FAILED=0
PIDS=()
stop_pids() {
  local pid
  for pid in "${PIDS[@]}"; do
    kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  done
  PIDS=()
}
trap stop_pids EXIT

# Samples per channel in a follow -v log: the channel header lines ("<chan> segtype ...
# nsamp N") of the decoded waveform packets.
samples_of() {
  awk '$2 == "segtype" { for (i = 3; i < NF; i++) if ($i == "nsamp") n[$1] += $(i + 1) }
       END { for (c in n) print c, n[c] }' "$1" | sort
}

# True when every channel named has at least `min` samples in the follow log.
delivered() {
  local log=$1 min=$2 chan
  shift 2
  for chan in "$@"; do
    samples_of "$log" | awk -v c="$chan" -v m="$min" '$1 == c && $2 >= m {ok = 1} END {exit !ok}' ||
      return 1
  done
}

# Waits until the channels have delivered (or the time is up); false when they did not.
wait_delivered() {
  local log=$1 min=$2 waited=0
  shift 2
  until delivered "$log" "$min" "$@"; do
    if [ "$waited" -ge "$SECONDS_TO_WAIT" ]; then return 1; fi
    sleep 1
    waited=$((waited + 1))
  done
}

# A readable sample of a follow -v log: the first LOG_LINES_SHOWN log packets of each
# source with their text (then how many more there are), and the first PACKETS_SHOWN
# packets of every other source with their headers (the channel lines of waveforms, the
# first lines of other contents), not their samples.
sample_of() {
  awk -v max="$PACKETS_SHOWN" -v maxlog="$LOG_LINES_SHOWN" '
    /^[0-9]+ / { src = $2; n[src]++; islog = src ~ /\/log$/
                 show = islog ? n[src] <= maxlog : n[src] <= max
                 lines = 0; if (show) print; next }
    !show { next }
    islog { print; next }
    /^        / { next }
    { if (++lines <= 4) print; else if (lines == 5) print "    ..." }
    END { for (s in n) if (s ~ /\/log$/ && n[s] > maxlog)
            printf "(%d more log packets of %s in the follow log)\n", n[s] - maxlog, s }' "$1"
}

# The final response of a remote command: its disposition and datalogger, then its body
# (the answer itself, its first 40 lines) without the rest of the envelope; and the count
# of the responses before it.
last_response() {
  awk '/^response [0-9]+: / { n++; last = $0 "\n"; body = 0; next }
       !n { next }
       !body && /^(command|sequence|sequence_target|target|type|tusername|thostname|tip|tpid|dlserial|dlcom) / { next }
       !body && /^(dlname|disposition|log) / { last = last $0 "\n"; next }
       { body++; if (body <= 40) last = last $0 "\n"; else if (body == 41) last = last "...\n" }
       END { if (n > 1) printf "(%d responses; the last one:)\n", n; printf "%s", last }' "$1"
}

# A remote command: its words shown, its responses into `log`, the last one shown; false
# when it did not end in "done".
remote_command() {
  local log=$1
  shift
  echo "== ringtool command $*"
  local ok=0
  "$RINGTOOL" command "$@" >"$log" 2>&1 || ok=1
  last_response "$log"
  echo "   ... (all of it in $log)"
  return "$ok"
}

# The end of an act: the ring's status, then the program stopped by SIGTERM (false when it
# does not exit 0) and everything else of the act.
end_act() {
  local ring=$1 pid=$2 ok=0
  echo
  echo "== ringtool status $ring"
  "$RINGTOOL" status "$ring" || true
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" || ok=1
  stop_pids
  return "$ok"
}

# One summary line: the program, packets followed, samples per channel, OK or FAIL.
summarize() {
  local program=$1 log=$2 ok=$3 packets samples
  packets=$(grep -c '^[0-9][0-9]* ' "$log" || true)
  samples=$(samples_of "$log" | awk '{printf "%s%s %s", sep, $1, $2; sep = ", "}')
  SUMMARY+=("$program: $packets packets; samples: ${samples:-none}: $ok")
  [ "$ok" = OK ] || FAILED=1
}

# ---- act 1: muldrin and a simulated Q330 ----
DIR=$(mktemp -d "${TMPDIR:-/tmp}/muldrin-demo.XXXXXX")
RING=$DIR/ring1
PF=$PWD/src/bin/rt/muldrin/muldrin.pf
"$RINGTOOL" create -s 16M "$RING"
"$RINGTOOL" follow -o -v "$RING" >"$DIR/follow.log" 2>&1 &
PIDS+=($!)
# The simulated datalogger answers on 127.0.0.1, control port 5332 and data port 5333,
# with the serial number the example parameter file names.
"$BIN/sim/q330sim/q330sim" -s 0100000000000001 >"$DIR/q330sim.log" 2>&1 &
PIDS+=($!)
(cd "$DIR" && exec "$BIN/rt/muldrin/muldrin" -pf "$PF" -S state TA data "$RING" cmd "$RING" \
  log "$RING" st "$RING") >"$DIR/muldrin.log" 2>&1 &
MULDRIN_PID=$!
PIDS+=($MULDRIN_PID)

echo "== muldrin: waiting until BH? (100 samples/s) and LH? (1 sample/s) are in $RING"
MULDRIN_OK=OK
wait_delivered "$DIR/follow.log" 60 TA_SIM1_BHZ TA_SIM1_BHN TA_SIM1_BHE TA_SIM1_LHZ \
  TA_SIM1_LHN TA_SIM1_LHE || MULDRIN_OK=FAIL
echo
# The status report of each datalogger.
remote_command "$DIR/status.log" -w 30 "$RING" TA getstatus || MULDRIN_OK=FAIL
end_act "$RING" "$MULDRIN_PID" || MULDRIN_OK=FAIL
echo
echo "== muldrin's packets from the ring's start, a sample: every log packet and the first"
echo "   $PACKETS_SHOWN packets of every other source with their headers"
sample_of "$DIR/follow.log"
summarize muldrin "$DIR/follow.log" "$MULDRIN_OK"
echo
echo "Files are in $DIR: the ring (ring1), muldrin.log, q330sim.log, follow.log, status.log"
echo "and the state file (state)."

# ---- act 2: kessaro and two simulated Altus dataloggers ----
KPF=$PWD/src/bin/rt/kessaro/kessaro
KDIR=$(mktemp -d "${TMPDIR:-/tmp}/kessaro-demo.XXXXXX")
KRING=$KDIR/ring1
"$RINGTOOL" create -s 16M "$KRING"
"$RINGTOOL" follow -o -v "$KRING" >"$KDIR/follow.log" 2>&1 &
PIDS+=($!)
# The example parameter file: link tcp1 connects to 127.0.0.1:5001 (datalogger K1234,
# streaming), link srv1 listens on port 5002 for calls (datalogger E5678).
# K1234: a K2 streaming three channels of 100 samples/s, paced by the clock, waiting on
# port 5001. E5678: an Etna with two event files, calling in to port 5002 (again and again
# until kessaro takes the call).
"$BIN/sim/altussim/altussim" \
  -tcpserver 5001 -serial 1234 -station K1234 -model K2 -streams 3:100:100:30 -paced \
  -- -dialin 5002 -serial 5678 -station E5678 -model Etna -banner-model "Altus Etna" \
  -banner-serial 5678 -events 2 >"$KDIR/altussim.log" 2>&1 &
PIDS+=($!)
(cd "$KDIR" && exec "$BIN/rt/kessaro/kessaro" -pf "$KPF" -state state kes cmd "$KRING" \
  out "$KRING") >"$KDIR/kessaro.log" 2>&1 &
KESSARO_PID=$!
PIDS+=($KESSARO_PID)

echo
echo "== kessaro: waiting until K1234's HH? stream and E5678's event files are in $KRING"
KESSARO_OK=OK
wait_delivered "$KDIR/follow.log" 500 K2_1234_HHZ K2_1234_HHN K2_1234_HHE || KESSARO_OK=FAIL
waited=0
until [ "$(grep -c '^[0-9][0-9]* kes/pf/evtinfo ' "$KDIR/follow.log" || true)" -ge 2 ]; do
  if [ "$waited" -ge "$SECONDS_TO_WAIT" ]; then KESSARO_OK=FAIL; break; fi
  sleep 1
  waited=$((waited + 1))
done
echo
# K1234 holds its connection (it streams), so it answers at once; E5678 has hung up
# after its download and would be reached only at its next call.
remote_command "$KDIR/status.log" -d K2_1234 -w 30 "$KRING" kes status || KESSARO_OK=FAIL
end_act "$KRING" "$KESSARO_PID" || KESSARO_OK=FAIL
echo
echo "== kessaro stopped by SIGTERM:"
grep -aoE "kessaro: .*(haltbysignal|kessaro_stop).*" "$KDIR/kessaro.log" || true
echo
echo "== kessaro's packets from the ring's start, a sample: every log packet and the first"
echo "   $PACKETS_SHOWN packets of every other source with their headers"
sample_of "$KDIR/follow.log"
echo
echo "== event files saved"
ls -lR "$KDIR/evt" 2>/dev/null || echo "(none)"
summarize kessaro "$KDIR/follow.log" "$KESSARO_OK"
echo
echo "Files are in $KDIR: the ring (ring1), kessaro.log, altussim.log, follow.log, status.log,"
echo "the state file (state) and the event files (evt/)."
echo
echo "== summary"
for line in "${SUMMARY[@]}"; do echo "$line"; done
exit "$FAILED"
