#!/usr/bin/env bash
# Builds the programs (plain optimised build) and runs the main job on its embedded
# defaults; today each program only prints its usage.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --host-only
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_TESTS=OFF -DVANTREL_BENCH=OFF >/dev/null
ninja -C build/release muldrin kessaro
for p in muldrin kessaro; do
  echo "== $p"
  "build/release/src/bin/rt/$p/$p" || true
done
