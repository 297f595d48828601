#!/usr/bin/env bash
# Sets up, builds and renders the demo job with the console monitor watching.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
mkdir -p build/demo-output
build/default/brevant-host run examples/demo.json --fps 24 \
  --client build/default/libconsole_monitor.so --out build/demo-output "$@"
