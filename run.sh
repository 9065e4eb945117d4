#!/usr/bin/env bash
# Builds the programs and runs the main job: the daemon answering a simulated
# switch with an installed key device image.
set -euo pipefail
cd "$(dirname "$0")"
dir=${BUILD_DIR:-build}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$dir" -j"$(nproc)"
if [ ! -x tools/main-job.sh ]; then
  echo "Built ${dir}/Tarnhold/Tarnhold and ${dir}/config/config."
  echo "The main job is not ready yet: the daemon and the tool are still being built."
  exit 0
fi
exec tools/main-job.sh "$dir"
