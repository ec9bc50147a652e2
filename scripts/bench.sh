#!/usr/bin/env bash
# Builds the benchmarks (preset "bench", build-bench/) and runs them once: fan-out, latency,
# sustained rate, PickFreePort, Init + LogOut and memory, each beside a raw-socket baseline.
# Takes a few minutes; loopback only. Arguments go to qz_bench (--quick, --only=fanout,...).
# Set QZ_BENCH_PG_URI to time a PostgreSQL server of your own instead of a throwaway one.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench --target qz_bench -j2
exec build-bench/bench/qz_bench "$@"
