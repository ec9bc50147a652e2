#!/usr/bin/env bash
# apt-get update, tried again while a mirror serves a partial index: during a mirror sync one
# file's size disagrees with its Release file for a few minutes, and the update fails.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
attempts=5
for attempt in $(seq "$attempts"); do
  if $SUDO apt-get update -q; then exit 0; fi
  [ "$attempt" -lt "$attempts" ] || break
  echo "apt-get update failed (attempt $attempt of $attempts); again in $((attempt * 20)) s" >&2
  sleep $((attempt * 20))
done
exit 1
