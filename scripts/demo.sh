#!/usr/bin/env bash
# Sets up, builds what the demo needs (brevant-host, the plug-in and the console monitor) and
# renders the demo job at 6 frames a second with the console monitor watching. The frames land
# in build/demo-output/. It also builds brevant-dashboard (brevant-host brings the farm publisher),
# so that scripts/farm-demo.sh has everything it runs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target brevant-host console_monitor brevant-dashboard
build/default/brevant-host run examples/demo.json --fps 6 --client console_monitor --out build/demo-output "$@"
