#!/usr/bin/env bash
# Sets up, builds what the demo needs (brevant-host, the plug-in and the console monitor) and
# renders the demo job at 6 frames a second with the console monitor watching. The frames land
# in build/demo-output/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target brevant-host console_monitor
build/default/brevant-host run examples/demo.json --fps 6 --client console_monitor --out build/demo-output "$@"
