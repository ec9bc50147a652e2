#!/usr/bin/env bash
# Installs everything the build and the tests need on Debian 12, then builds (preset "default").
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev valgrind
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev sqlite3 libpq-dev postgresql
  libcli11-dev nlohmann-json3-dev libedit-dev
  locales procps iproute2 nftables
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  scripts/apt-update.sh
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# A double-byte locale, for the tests that run the component under a GBK system code page.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.gbk$'; then
  $SUDO localedef -i zh_CN -f GBK zh_CN.GBK || echo "note: could not generate zh_CN.GBK" >&2
fi

cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)"
