#!/usr/bin/env bash
# The main job: installs and builds everything, then two clients on this machine exchange a
# message over an embedded SQLite presence table.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/demo.sh build
