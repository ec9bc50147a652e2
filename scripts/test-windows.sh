#!/usr/bin/env bash
# Builds the Windows drop-in (preset "windows": QZ_NetMessage.dll, a test qzpub.dll and the C++
# test host) and runs the host under Wine, headless, in a throw-away 32-bit prefix. The host
# registers the DLL with regsvr32, drives it as existing clients do, and unregisters it.
# Exits non-zero on any failure. Needs: g++-mingw-w64-i686 mingw-w64-tools wine wine32:i386
# libwine-dev:i386. Loopback only: the host makes every listener publish 127.0.0.1.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-windows"

cmake --preset windows -S "$root" >/dev/null
cmake --build "$build" --target qz_com_host -j2

prefix="$(mktemp -d "${TMPDIR:-/tmp}/qz-wine.XXXXXX")"
cleanup() {
  WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}
trap cleanup EXIT

export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# 32-bit Wine needs a kernel that runs 32-bit programs (IA-32 emulation); say so plainly.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "test-windows: cannot run 32-bit Wine here; the kernel may have 32-bit emulation off" \
    "(boot with ia32_emulation=on)" >&2
  exit 1
fi
wine wineboot -i >/dev/null
wineserver -w

out="$build/windows-test"
dll="$(winepath -w "$out/QZ_NetMessage.dll")"
# The host finds qzpub.dll beside itself, as a real host ships its own.
status=0
( cd "$out" && timeout 300 wine ./qz_com_host.exe "$dll" ) || status=$?
wineserver -w || true
if [[ $status -ne 0 ]]; then
  echo "test-windows: FAILED (status $status)" >&2
  exit 1
fi
echo "test-windows: passed"
