#!/usr/bin/env bash
# The packages as a packager and a host developer meet them:
#  1. a plain Release build (build-release/, as CI's packager build) and cpack -G DEB;
#  2. the runtime package alone: qzmsg exchanges a message on 127.0.0.1;
#  3. both packages: a host outside the tree, built with find_package and with pkg-config,
#     makes a round trip; then the packages are removed (also when a step fails);
#  4. cmake --install to another prefix, the same hosts from there (CMAKE_PREFIX_PATH,
#     PKG_CONFIG_PATH), the uninstall by manifest, and an install moved elsewhere and used.
# Needs root or sudo (apt-get). Build folder: QZ_PACKAGE_BUILD_DIR (default build-release).
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
build=${QZ_PACKAGE_BUILD_DIR:-build-release}
consumer=$source_dir/tests/package_consumer
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
# cpack's dependency scan runs file and dpkg-shlibdeps.
tools=()
command -v file >/dev/null || tools+=(file)
command -v dpkg-shlibdeps >/dev/null || tools+=(dpkg-dev)
if [ "${#tools[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  install_tools() { $SUDO apt-get install -y -q --no-install-recommends "${tools[@]}"; }
  install_tools || { scripts/apt-update.sh && install_tools; }
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/qz-packages.XXXXXX")
installed=0
cleanup() {
  local rc=$?
  if [ "$installed" = 1 ]; then
    $SUDO apt-get remove -y -q --purge qz-netmessage-dev qz-netmessage >/dev/null ||
      echo "test-packages: could not remove the packages" >&2
  fi
  rm -rf "$work"
  if [ "$rc" -ne 0 ]; then echo "test-packages: FAILED" >&2; fi
  exit "$rc"
}
trap cleanup EXIT

step() { echo "== $*"; }
fail() {
  echo "test-packages: $*" >&2
  exit 1
}
# Fails unless the text ($1) has a line matching the extended regular expression $2.
expect() { grep -Eq -- "$2" <<<"$1" || fail "expected /$2/ in:"$'\n'"$1"; }
refuse() { ! grep -Eq -- "$2" <<<"$1" || fail "unexpected /$2/ in:"$'\n'"$1"; }

step "plain Release build in $build"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j"$(nproc)"

# The version the packages, the libraries' SONAMEs and the -dev package's Depends carry.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
major=${version%%.*}

step "cpack -G DEB"
(cd "$build" && cpack -G DEB -B "$work/debs" >/dev/null)
runtime_deb=$(ls "$work"/debs/qz-netmessage_*.deb)
dev_deb=$(ls "$work"/debs/qz-netmessage-dev_*.deb)
arch=$(dpkg --print-architecture)
[ "$(basename "$runtime_deb")" = "qz-netmessage_${version}_$arch.deb" ] ||
  fail "runtime package named $runtime_deb"

runtime_files=$(dpkg-deb -c "$runtime_deb" | awk '{print $6}')
dev_files=$(dpkg-deb -c "$dev_deb" | awk '{print $6}')
for f in usr/bin/qzmsg usr/lib/libqz_netmessage.so.$major usr/lib/libqzpub.so.$major \
  usr/lib/libqzpub.so \
  usr/share/qzpub/sql/qz_client_role_postgresql.sql; do
  expect "$runtime_files" "^\./$f( |$)"
done
for f in usr/include/qz/net_message.h usr/include/qz/version.h usr/include/qzpub.h \
  usr/lib/libqz_netmessage.so usr/lib/cmake/qz_netmessage/qz_netmessageConfig.cmake \
  usr/lib/cmake/qzpub/qzpubTargets.cmake usr/lib/pkgconfig/qz_netmessage.pc \
  usr/lib/pkgconfig/qzpub.pc; do
  expect "$dev_files" "^\./$f( |$)"
done
refuse "$runtime_files" '^\./usr/(include|lib/cmake|lib/pkgconfig)/'
# Each library's SONAME carries the major version.
dpkg-deb -x "$runtime_deb" "$work/runtime"
for lib in qz_netmessage qzpub; do
  soname=$(objdump -p "$work/runtime/usr/lib/lib$lib.so.$version" | awk '/SONAME/ {print $2}')
  [ "$soname" = "lib$lib.so.$major" ] || fail "lib$lib.so.$version has SONAME '$soname'"
done
runtime_depends=$(dpkg-deb -f "$runtime_deb" Depends)
for dep in libc6 libstdc\\+\\+6 libsqlite3-0 libpq5 libedit2; do
  expect "$runtime_depends" "(^|, )$dep( |,|$)"
done
expect "$(dpkg-deb -f "$dev_deb" Depends)" "^qz-netmessage \\(= ${version//./\\.}\\)\$"

step "the runtime package alone: qzmsg on 127.0.0.1"
installed=1
(cd "$work/debs" && $SUDO apt-get install -y -q "./$(basename "$runtime_deb")" >/dev/null)
db="sqlite:$work/qzmsg.db"
timeout 30 qzmsg listen --db "$db" --user bob --local-ip 127.0.0.1 --count 1 --json \
  >"$work/listen.out" 2>&1 &
listener=$!
for _ in $(seq 100); do
  if qzmsg who --db "$db" --json 2>/dev/null | grep -q '"bob"'; then break; fi
  sleep 0.1
done
qzmsg send --db "$db" --user alice --local-ip 127.0.0.1 --to-user bob "hello from the package" ||
  fail "qzmsg send failed"
wait "$listener" || fail "qzmsg listen: $(cat "$work/listen.out")"
expect "$(cat "$work/listen.out")" 'hello from the package'

step "both packages: apt-get install ./*.deb"
(cd "$work/debs" && $SUDO apt-get install -y -q ./*.deb >/dev/null)

# Builds the outside host with find_package ($1: build folder, then extra cmake arguments)
# and with pkg-config in a plain g++ line ($2: the program; PKG_CONFIG_PATH as given), and
# runs both.
build_and_run_hosts() {
  local folder=$1 program=$2
  shift 2
  cmake -S "$consumer" -B "$folder" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$folder" >/dev/null
  "$folder/package_consumer" "$folder/presence.db"
  local libdir
  libdir=$(pkg-config --variable=libdir qz_netmessage)
  # shellcheck disable=SC2046  # pkg-config's words are meant to split
  g++ -O2 -o "$program" "$consumer/consumer.cc" $(pkg-config --cflags --libs qz_netmessage) \
    -Wl,-rpath,"$libdir"
  "$program" "$program.db"
}
step "hosts against the packages (find_package, pkg-config)"
build_and_run_hosts "$work/host-deb" "$work/host-deb-pc"

step "apt-get remove"
$SUDO apt-get remove -y -q --purge qz-netmessage-dev qz-netmessage >/dev/null
installed=0
if [ -e /usr/bin/qzmsg ] || [ -e "/usr/lib/libqzpub.so.$major" ]; then
  fail "files left after removal"
fi
if dpkg-query -W qz-netmessage >/dev/null 2>&1; then fail "dpkg still lists qz-netmessage"; fi

step "cmake --install to another prefix"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
# Nothing installed may name the prefix, the source or the build folder: it would not move.
if grep -rIl -e "$prefix" -e "$source_dir" "$prefix"; then fail "absolute paths above"; fi
PKG_CONFIG_PATH=$prefix/lib/pkgconfig build_and_run_hosts "$work/host-prefix" \
  "$work/host-prefix-pc" -DCMAKE_PREFIX_PATH="$prefix"

step "uninstall by install_manifest.txt"
xargs rm <"$build/install_manifest.txt"
left=$(find "$prefix" -type f -o -type l)
[ -z "$left" ] || fail "left after the uninstall:"$'\n'"$left"

step "an install moved to another folder after installing"
cmake --install "$build" --prefix "$prefix" >/dev/null
moved=$work/moved
mv "$prefix" "$moved"
PKG_CONFIG_PATH=$moved/lib/pkgconfig build_and_run_hosts "$work/host-moved" \
  "$work/host-moved-pc" -DCMAKE_PREFIX_PATH="$moved"

echo "test-packages: all passed"
