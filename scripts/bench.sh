#!/usr/bin/env bash
# Builds the benchmarks (preset "bench", build-bench/) and runs them once: fan-out, latency,
# sustained rate (beside raw and rawbind, 60 s each), PickFreePort, Init + LogOut and memory,
# each beside a raw-socket baseline. Takes about 6 minutes; loopback only. Arguments go to
# qz_bench (--quick, --only=fanout,..., --rate-seconds=S, --profile: system calls and
# instructions per message under strace and callgrind).
# Set QZ_BENCH_PG_URI to time a PostgreSQL server of your own instead of a throwaway one.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench --target qz_bench -j2
exec build-bench/bench/qz_bench "$@"
