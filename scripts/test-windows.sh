#!/usr/bin/env bash
# Builds the Windows drop-in (QZ_NetMessage.dll, a test qzpub.dll and the C++ test host) and runs
# the host under Wine, headless, in a throw-away prefix. The host registers the DLL with
# regsvr32, drives it as existing clients do, and unregisters it. Exits non-zero on any failure.
# Loopback only: the host makes every listener publish 127.0.0.1.
#
# Usage: test-windows.sh [--arch 32|64]
#   32 (default): the shipped 32-bit DLL (preset "windows"); needs g++-mingw-w64-i686
#       mingw-w64-tools wine wine32:i386 libwine-dev:i386 and a kernel that runs 32-bit programs.
#   64: the same sources as 64-bit code (preset "windows64") under 64-bit Wine; needs
#       g++-mingw-w64-x86-64 mingw-w64-tools wine64.
set -euo pipefail

arch=32
while [[ $# -gt 0 ]]; do
  case "$1" in
    --arch) arch="${2:-}"; shift 2 ;;
    --arch=*) arch="${1#--arch=}"; shift ;;
    *) echo "usage: $0 [--arch 32|64]" >&2; exit 2 ;;
  esac
done

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
case "$arch" in
  32) preset=windows; winearch=win32; wine=/usr/lib/wine/wine ;;
  64) preset=windows64; winearch=win64; wine=/usr/lib/wine/wine64 ;;
  *) echo "test-windows: --arch is 32 or 64" >&2; exit 2 ;;
esac
build="$root/build-$preset"
# Debian's wine64 package puts wineserver beside the loader, off PATH.
wineserver="$(command -v wineserver || echo /usr/lib/wine/wineserver)"

cmake --preset "$preset" -S "$root" >/dev/null
cmake --build "$build" --target qz_com_host -j2

prefix="$(mktemp -d "${TMPDIR:-/tmp}/qz-wine.XXXXXX")"
cleanup() {
  WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}
trap cleanup EXIT

# The loader is called directly: /usr/bin/wine prefers the 32-bit one whenever it is installed,
# even where it cannot run. WINELOADER makes Wine start its own programs with the same one.
export WINEPREFIX="$prefix" WINEARCH="$winearch" WINELOADER="$wine" WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if ! "$wine" --version >/dev/null 2>&1; then
  if [[ $arch == 32 ]]; then
    # 32-bit Wine needs a kernel that runs 32-bit programs (IA-32 emulation); say so plainly.
    echo "test-windows: cannot run 32-bit Wine here; the kernel may have 32-bit emulation off" \
      "(boot with ia32_emulation=on), or run with --arch 64" >&2
  else
    echo "test-windows: cannot run $wine (is wine64 installed?)" >&2
  fi
  exit 1
fi
"$wine" wineboot -i >/dev/null
"$wineserver" -w

out="$build/windows-test"
dll="$("$wine" winepath -w "$out/QZ_NetMessage.dll")"
# The host finds qzpub.dll beside itself, as a real host ships its own. In a 64-bit prefix the
# regsvr32 it starts is the 64-bit one (system32).
status=0
( cd "$out" && timeout 300 "$wine" ./qz_com_host.exe "$dll" ) || status=$?
"$wineserver" -w || true
if [[ $status -ne 0 ]]; then
  echo "test-windows: FAILED ($arch-bit, status $status)" >&2
  exit 1
fi
echo "test-windows: passed ($arch-bit)"
