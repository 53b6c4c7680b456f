#!/usr/bin/env bash
# Builds the library and its operator tool, then runs the demo scenario.
# Extra arguments go to "hxctl demo" (for example --seconds 10).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-deps.sh demo
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target hxctl
exec build/default/bin/hxctl demo "$@"
