#!/usr/bin/env bash
# Two qzmsg processes over a fresh SQLite presence file: alice listens, bob sends her a message.
# Usage: scripts/demo.sh [BUILD_DIR]   (default ./build)
# Exits non-zero when the message does not arrive within a few seconds.
set -euo pipefail

build=${1:-./build}
qzmsg="$build/tools/qzmsg/qzmsg"
if [[ ! -x $qzmsg ]]; then
  echo "demo: $qzmsg not found; build first: cmake --build $build --target qzmsg" >&2
  exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/qzmsg-demo.XXXXXX")
listener=
cleanup() {
  if [[ -n $listener ]] && kill -0 "$listener" 2>/dev/null; then
    kill -TERM "$listener" 2>/dev/null || true
    wait "$listener" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

db="sqlite:$work/presence.db"
common=(--db "$db" --sys demo --mod chat --local-ip 127.0.0.1)

# alice: prints one JSON line per event and logs out after the first message.
timeout 20 "$qzmsg" listen "${common[@]}" --user alice --full-name "Alice Example" \
  --json --count 1 >"$work/alice.out" 2>"$work/alice.err" &
listener=$!

for _ in $(seq 50); do
  grep -q '"event":"ready"' "$work/alice.out" 2>/dev/null && break
  if ! kill -0 "$listener" 2>/dev/null; then
    echo "demo: alice's listener ended before it was ready: $(cat "$work/alice.err")" >&2
    exit 1
  fi
  sleep 0.1
done
if ! grep -q '"event":"ready"' "$work/alice.out"; then
  echo "demo: alice's listener was not ready within 5 s" >&2
  exit 1
fi
echo "alice is listening: $(head -n 1 "$work/alice.out")"
echo "who is online:"
"$qzmsg" who --db "$db" | sed 's/^/  /'

"$qzmsg" send "${common[@]}" --user bob --to-user alice "Hello, Alice! (from bob)"
echo "bob sent a message to alice"

# alice ends by herself once the message is in (--count 1).
for _ in $(seq 50); do
  kill -0 "$listener" 2>/dev/null || break
  sleep 0.1
done
if grep -q '"event":"message"' "$work/alice.out"; then
  echo "alice received: $(grep '"event":"message"' "$work/alice.out")"
  wait "$listener"
  listener=
  exit 0
fi
echo "demo: no message arrived within 5 s; alice's errors: $(cat "$work/alice.err")" >&2
exit 1
