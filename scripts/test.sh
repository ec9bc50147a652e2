#!/usr/bin/env bash
# Builds (preset "default") and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)"
ctest --preset default
