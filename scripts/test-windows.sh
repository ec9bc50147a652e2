#!/usr/bin/env bash
# Builds the Windows drop-in (QZ_NetMessage.dll, a test qzpub.dll and the C++ test host) and runs
# the host, then a late-bound VBScript client, headless, in a throw-away
# prefix. The host registers the DLL with regsvr32, drives it as existing clients do, and
# unregisters it. Exits non-zero on any failure: a failed check, a crash (Wine's debugger is off,
# so a crash ends the process with its exception code), a hang (a time-out), and with
# --heap-check any warning of Wine's heap checks.
# Loopback only: every listener publishes 127.0.0.1 (the host sets it; for the script client the
# test qzpub.dll sets it when the DLL loads it).
#
# Usage: test-windows.sh [--arch 32|64] [--heap-check]
#   32 (default): the shipped 32-bit DLL (preset "windows"); needs g++-mingw-w64-i686
#       mingw-w64-tools libwine-dev wine wine32:i386 and a machine that runs 32-bit programs
#       (IA-32 emulation in the kernel, or qemu-i386 through binfmt_misc: scripts/ci-windows.sh).
#   64: the same sources as 64-bit code (preset "windows64") under 64-bit Wine; needs
#       g++-mingw-w64-x86-64 mingw-w64-tools libwine-dev wine wine64.
#   --heap-check: WINEDEBUG=warn+heap (Wine validates the heap and BSTRs on every call).
# QZ_WINE_TIMEOUT (seconds, default 300) bounds each Wine program.
set -euo pipefail

arch=32
heap_check=0
while [[ $# -gt 0 ]]; do
  case "$1" in
    --arch) arch="${2:-}"; shift 2 ;;
    --arch=*) arch="${1#--arch=}"; shift ;;
    --heap-check) heap_check=1; shift ;;
    *) echo "usage: $0 [--arch 32|64] [--heap-check]" >&2; exit 2 ;;
  esac
done

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
case "$arch" in
  32) preset=windows; winearch=win32; wine=/usr/lib/wine/wine; triplet=i686-w64-mingw32 ;;
  64) preset=windows64; winearch=win64; wine=/usr/lib/wine/wine64; triplet=x86_64-w64-mingw32 ;;
  *) echo "test-windows: --arch is 32 or 64" >&2; exit 2 ;;
esac
build="$root/build-$preset"
limit="${QZ_WINE_TIMEOUT:-300}"
# Debian's wine64 package puts wineserver beside the loader, off PATH.
wineserver="$(command -v wineserver || echo /usr/lib/wine/wineserver)"

cmake --preset "$preset" -S "$root" >/dev/null
cmake --build "$build" --target qz_com_host -j2

out="$build/windows-test"
failed=0
fail() {
  echo "test-windows: $*" >&2
  failed=1
}

# The binaries as the loader sees them. The DLL imports system DLLs only (the runtimes are
# linked in) and exports its entries undecorated. It binds the data-access entries by their
# undecorated names, which the test qzpub.dll exports; on 32-bit the compiler gave their symbols
# the __stdcall decoration of their argument sizes.
exported() { "$triplet-objdump" -p "$1" | sed -n 's/^\t\[ *[0-9]*\] \([^ ]*\)$/\1/p'; }
check_binaries() {
  local name
  while read -r name; do
    case "${name,,}" in
      advapi32.dll | iphlpapi.dll | kernel32.dll | msvcrt.dll | ole32.dll | oleaut32.dll | \
        user32.dll | ws2_32.dll) ;;
      *) fail "QZ_NetMessage.dll imports $name" ;;
    esac
  done < <("$triplet-objdump" -p "$out/QZ_NetMessage.dll" | sed -n 's/^\tDLL Name: //p')
  [[ "$(exported "$out/QZ_NetMessage.dll" | tr '\n' ' ')" == \
    "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer QzSetLocalIPOverride " ]] ||
    fail "QZ_NetMessage.dll exports: $(exported "$out/QZ_NetMessage.dll" | tr '\n' ' ')"
  local entry bytes fake_exports fake_symbols
  fake_exports="$(exported "$out/qzpub.dll")"
  fake_symbols="$("$triplet-objdump" -t "$out/qzpub.dll")"
  for entry in odbc_GetSysDateStr:8 odbc_ExecSQL:8 userYHDL_Insert:8 userYHDL_Delete:8 \
    sysMSSQLUses:8 userYHDL_GetFirst:12 userYHDL_GetNext:8; do
    bytes="${entry#*:}" entry="${entry%:*}"
    grep -aq "$entry" "$out/QZ_NetMessage.dll" || fail "QZ_NetMessage.dll does not bind $entry"
    grep -qx "$entry" <<<"$fake_exports" || fail "qzpub.dll does not export $entry"
    if [[ $arch == 32 ]] && ! grep -q " _$entry@$bytes\$" <<<"$fake_symbols"; then
      fail "qzpub.dll's $entry is not __stdcall with $bytes bytes of arguments"
    fi
  done
}
check_binaries

prefix="$(mktemp -d "${TMPDIR:-/tmp}/qz-wine.XXXXXX")"
cleanup() {
  WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}
trap cleanup EXIT

# The loader is called directly: /usr/bin/wine prefers the 32-bit one whenever it is installed,
# even where it cannot run. WINELOADER makes Wine start its own programs with the same one.
# winedbg off: Wine's debugger would end a crashed program with status 0.
export WINEPREFIX="$prefix" WINEARCH="$winearch" WINELOADER="$wine" WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
unset DISPLAY WAYLAND_DISPLAY
if ! "$wine" --version >/dev/null 2>&1; then
  if [[ $arch == 32 ]]; then
    # 32-bit Wine needs a machine that runs 32-bit programs; say so plainly.
    echo "test-windows: cannot run 32-bit Wine here; the kernel may have 32-bit emulation off" \
      "(boot with ia32_emulation=on, or use scripts/ci-windows.sh), or run with --arch 64" >&2
  else
    echo "test-windows: cannot run $wine (is wine64 installed?)" >&2
  fi
  exit 1
fi
timeout -k 10 "$limit" "$wine" wineboot -i >/dev/null
timeout -k 10 "$limit" "$wineserver" -w
if [[ $heap_check == 1 ]]; then export WINEDEBUG=-all,err+heap,warn+heap; fi

logs="$prefix/logs"
mkdir -p "$logs"

# Runs one Wine program in $out within the time limit, its output in $logs/<name>.out and .err;
# then waits for every process of the prefix to end, within the limit too.
run() {
  local name="$1" status=0
  shift
  (cd "$out" && timeout -k 10 "$limit" "$wine" "$@") >"$logs/$name.out" 2>"$logs/$name.err" ||
    status=$?
  cat "$logs/$name.out"
  if [[ $status -eq 124 || $status -eq 137 ]]; then
    fail "$name did not end within $limit s"
  elif [[ $status -ne 0 ]]; then
    fail "$name ended with status $status"
  fi
  if ! timeout "$limit" "$wineserver" -w; then
    fail "a process was still running $limit s after $name"
    "$wineserver" -k || true
  fi
  if [[ $heap_check == 1 ]] && grep -E ':(err|warn):heap:' "$logs/$name.err" >"$logs/$name.heap"; then
    fail "$name: heap check warnings:"
    head -n 20 "$logs/$name.heap" >&2
  fi
  if [[ $failed == 1 ]]; then tail -n 20 "$logs/$name.err" >&2; fi
}

dll="$("$wine" winepath -w "$out/QZ_NetMessage.dll")"
# The host finds qzpub.dll beside itself, as a real host ships its own. In a 64-bit prefix the
# regsvr32 it starts is the 64-bit one (system32).
run host ./qz_com_host.exe "$dll"
grep -Eq '^[0-9]+ checks, 0 failed' "$logs/host.out" || fail "the host did not report its checks passed"

# The script client, in a small script host (Wine's cscript has no ConnectObject): the host's
# directory comes first in the DLL search, so the DLL finds qzpub.dll beside it.
client="$("$wine" winepath -w "$root/src/component/com/test/late_bound_client.vbs")"
run register regsvr32.exe /s "$dll"
run client ./qz_script_host.exe "$client"
grep -q '^late-bound client passed' "$logs/client.out" || fail "the script client did not pass"
run unregister regsvr32.exe /s /u "$dll"

if [[ $failed -ne 0 ]]; then
  echo "test-windows: FAILED ($arch-bit)" >&2
  exit 1
fi
[[ $heap_check == 1 ]] && arch="$arch-bit, heap check" || arch="$arch-bit"
echo "test-windows: passed ($arch)"
