#!/usr/bin/env bash
# CI for the Windows drop-in: installs the cross compilers and Wine from Debian packages, then
# runs the test host and the script client against the 64-bit build under Wine and against the
# shipped 32-bit build under 32-bit Wine. Every 32-bit program runs through qemu-i386 (user-mode
# emulation, registered with binfmt_misc in a private user and mount namespace), since kernels
# without a 32-bit code segment cannot run it natively.
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

codename="$(. /etc/os-release && echo "$VERSION_CODENAME")"
backports="$codename-backports"

# Copies the machine's own Debian source entry under the backports suite, so the mirror stays
# whatever the machine already uses.
add_backports() {
  local deb822=/etc/apt/sources.list.d/debian.sources
  if grep -rqs "^Suites:.*\b$backports\b\|^deb .* $backports " /etc/apt/sources.list \
    /etc/apt/sources.list.d/; then
    return
  fi
  if [ -f "$deb822" ]; then
    awk -v rel="$codename" -v bp="$backports" '
      BEGIN { RS = ""; ORS = "\n\n" }
      /(^|\n)Suites:/ && /(^|\n)URIs:[^\n]*\/debian\/?(\n|$)/ {
        n = split($0, line, "\n"); hit = 0; out = ""
        for (i = 1; i <= n; i++) {
          if (line[i] ~ /^Suites:/ && (" " line[i] " ") ~ (" " rel " ")) { line[i] = "Suites: " bp; hit = 1 }
          out = out line[i] "\n"
        }
        if (hit) { printf "%s\n", out; exit }
      }' "$deb822" | $SUDO tee /etc/apt/sources.list.d/"$backports".sources >/dev/null
  else
    grep -h "^deb [^ ]*/debian/\? $codename " /etc/apt/sources.list | head -n1 |
      sed "s/ $codename / $backports /" | $SUDO tee /etc/apt/sources.list.d/"$backports".list >/dev/null
  fi
}

# The cross compilers, 64-bit Wine and the emulator: no i386 package, so no i386 index needed.
install_packages() {
  add_backports
  scripts/apt-update.sh || echo "ci-windows: going on with the indexes that did download" >&2
  $SUDO apt-get install -y -q --no-install-recommends \
    g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools binutils-mingw-w64-i686 \
    binutils-mingw-w64-x86-64 wine wine64 libwine-dev python3
  $SUDO apt-get install -y -q --no-install-recommends -t "$backports" qemu-user
}

# 32-bit Wine. Its i386 libraries must match the amd64 versions installed, security updates
# included, so a mirror that cannot serve every i386 index (a sync in progress, a stale cache)
# leaves it uninstallable: that, and only that, returns 2.
install_i386_packages() {
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
  scripts/apt-update.sh || return 2
  $SUDO apt-get install -y -q --no-install-recommends wine32:i386 libwine-dev:i386
}

# Runs a command where every 32-bit ELF program starts through qemu-i386: binfmt_misc mounted in a
# private user and mount namespace, so the registration ends with the command and nothing
# changes for the rest of the machine. F: the kernel opens the emulator now, so it is found
# whatever the program's own mount view.
with_i386_emulation() {
  local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  unshare --user --map-root-user --mount --fork sh -c '
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc &&
      printf "%s\n" "$1" >/proc/sys/fs/binfmt_misc/register && shift && exec "$@"' \
    sh ":qz-i386:M::$magic:$mask:$(command -v qemu-i386):F" "$@"
}

timed() {
  local start=$SECONDS rc=0
  "$@" || rc=$?
  echo "ci-windows: $* took $((SECONDS - start)) s"
  return "$rc"
}

timed install_packages
timed scripts/test-windows.sh --arch 64 --heap-check
i386=0
timed install_i386_packages || i386=$?
if [ "$i386" -eq 2 ]; then
  echo "ci-windows: THE 32-BIT RUN IS SKIPPED: the package mirror could not serve the i386" \
    "indexes (see apt-get above), so 32-bit Wine cannot be installed; the 64-bit run passed" >&2
  exit 0
fi
[ "$i386" -eq 0 ] || exit "$i386"
timed with_i386_emulation scripts/test-windows.sh --arch 32 --heap-check
