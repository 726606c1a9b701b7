#!/usr/bin/env bash
# Cross-builds static civetweb (with its C++ wrapper) and prometheus-cpp
# (core and pull) for 64-bit Windows from Debian's source packages, at the
# versions pinned below, into a cache outside the source tree. Prints the
# install prefix (for CMAKE_PREFIX_PATH: find_package(prometheus-cpp CONFIG)
# works against it) on standard output, and nothing else there.
#   TARNWICK_CACHE               cache root (default: ~/.cache/tarnwick)
#   TARNWICK_PROMETHEUS_VERSION  another Debian version of prometheus-cpp,
#   TARNWICK_CIVETWEB_VERSION    or of civetweb (for trying a new one before
#                                pinning it)
#   JOBS                         compiler runs at once (default: every core)
#
# The Windows programs carry these libraries inside them, so the versions are
# chosen, never taken from whatever a mirror or the cache happens to hold:
# when a pinned source cannot be fetched and no build of exactly these
# versions is cached, the script fails and says so.
set -euo pipefail
exec 3>&1 1>&2  # everything but the prefix goes to standard error

prometheus_pinned=1.0.1-1
civetweb_pinned=1.15+dfsg-4
prometheus_version=${TARNWICK_PROMETHEUS_VERSION:-$prometheus_pinned}
civetweb_version=${TARNWICK_CIVETWEB_VERSION:-$civetweb_pinned}
# What the sources themselves call these versions: 1.15+dfsg-4 is 1.15.
upstream() {
  local u=${1#*:}
  u=${u%-*}
  echo "${u%%+*}"
}

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache_root=${TARNWICK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tarnwick}
prefix=$cache_root/prometheus-mingw64-$prometheus_version-civetweb-$civetweb_version
fail() {
  echo "build-prometheus-mingw: $*" >&2
  exit 1
}
# shellcheck source-path=SCRIPTDIR source=deb-source.sh
. "$(dirname "${BASH_SOURCE[0]}")/deb-source.sh"

# The directory's name carries the whole Debian versions; what it holds must
# be complete and say the same upstream versions, so that a copied or
# half-written one is not taken for it.
expected=(lib/libcivetweb.a lib/libcivetweb-cpp.a lib/libprometheus-cpp-core.a
  lib/libprometheus-cpp-pull.a include/CivetServer.h include/prometheus/exposer.h
  lib/cmake/civetweb/civetweb-config.cmake lib/cmake/prometheus-cpp/prometheus-cpp-config.cmake)
complete() {
  local f
  for f in "${expected[@]}"; do [ -f "$1/$f" ] || return 1; done
}
# "<prometheus-cpp> <civetweb>" as the headers and package files in $1 say.
held_versions() {
  local p c
  p=$(sed -n 's/^Version: *//p' "$1/lib/pkgconfig/prometheus-cpp-pull.pc" 2>/dev/null)
  c=$(sed -n 's/^#define CIVETWEB_VERSION "\(.*\)"$/\1/p' "$1/include/civetweb.h" 2>/dev/null)
  echo "${p:-unknown} ${c:-unknown}"
}
want="$(upstream "$prometheus_version") $(upstream "$civetweb_version")"
if complete "$prefix"; then
  have=$(held_versions "$prefix")
  [ "$have" = "$want" ] ||
    fail "$prefix holds prometheus-cpp and civetweb '$have', not '$want'; remove it to build them again"
  echo "prometheus-cpp $prometheus_version, civetweb $civetweb_version: cached in $prefix"
  echo "$prefix" >&3
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/prometheus-src.XXXXXX")
trap 'rm -rf "$work"' EXIT
deb_source civetweb "$civetweb_version" "$civetweb_pinned" TARNWICK_CIVETWEB_VERSION "$work"
deb_source prometheus-cpp "$prometheus_version" "$prometheus_pinned" TARNWICK_PROMETHEUS_VERSION "$work"

for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-gcc-ar-posix cmake ninja; do
  command -v "$tool" >/dev/null || fail "$tool not found (make windows installs what the build needs)"
done
echo "==> cross-building civetweb $civetweb_version and prometheus-cpp $prometheus_version for mingw64 into $prefix"
jobs=${JOBS:-$(nproc)}
# Installed under a staging root with their final prefix, so that the paths
# written into the package files are the cache's own.
stage=$work/stage
cross=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF)
# The endpoint serves plain HTTP from handlers: no TLS, no files, no scripts.
# civetweb's lists take whichever gcc-ar they find first (the build
# machine's), so the cross one is named; LTO stays off so that the archives
# hold ordinary objects.
civetweb_options=(-DCIVETWEB_ENABLE_CXX=ON -DCIVETWEB_ENABLE_IPV6=ON -DCIVETWEB_ENABLE_SSL=OFF
  -DCIVETWEB_ENABLE_WEBSOCKETS=OFF -DCIVETWEB_ENABLE_LUA=OFF -DCIVETWEB_ENABLE_DUKTAPE=OFF
  -DCIVETWEB_ENABLE_ZLIB=OFF -DCIVETWEB_DISABLE_CGI=ON -DCIVETWEB_SERVE_NO_FILES=ON
  -DCIVETWEB_ENABLE_SERVER_EXECUTABLE=OFF -DCIVETWEB_INSTALL_EXECUTABLE=OFF
  -DCIVETWEB_BUILD_TESTING=OFF -DCIVETWEB_ENABLE_ASAN=OFF
  -DCIVETWEB_ENABLE_LTO=OFF -DCIVETWEB_CXX_ENABLE_LTO=OFF
  -DGCC_AR="$(command -v x86_64-w64-mingw32-gcc-ar-posix)"
  -DGCC_RANLIB="$(command -v x86_64-w64-mingw32-gcc-ranlib-posix)")
# The pkg-config files are only there to say the version.
prometheus_options=(-DENABLE_PULL=ON -DENABLE_PUSH=OFF -DENABLE_COMPRESSION=OFF -DENABLE_TESTING=OFF
  -DUSE_THIRDPARTY_LIBRARIES=OFF -DGENERATE_PKGCONFIG=ON -DCMAKE_PREFIX_PATH="$stage$prefix")
# Hundreds of configure lines: kept in a log, shown only when a step fails.
log=$work/build.log
if ! { cmake -S "$work/civetweb/src" -B "$work/build-civetweb" "${cross[@]}" "${civetweb_options[@]}" &&
       cmake --build "$work/build-civetweb" -j "$jobs" &&
       DESTDIR=$stage cmake --install "$work/build-civetweb" &&
       cmake -S "$work/prometheus-cpp/src" -B "$work/build-prometheus" "${cross[@]}" "${prometheus_options[@]}" &&
       cmake --build "$work/build-prometheus" -j "$jobs" &&
       DESTDIR=$stage cmake --install "$work/build-prometheus"; } >"$log" 2>&1; then
  tail -n 60 "$log"
  fail "civetweb $civetweb_version / prometheus-cpp $prometheus_version: cross-build failed"
fi
complete "$stage$prefix" || fail "the build did not install all of: ${expected[*]}"
have=$(held_versions "$stage$prefix")
[ "$have" = "$want" ] || fail "the source packages built prometheus-cpp and civetweb '$have', not '$want'"
# The cache may be on another file system: copied whole under .partial, then
# renamed in one step.
mkdir -p "$cache_root"
rm -rf "$prefix.partial" "$prefix"
mv "$stage$prefix" "$prefix.partial"
mv "$prefix.partial" "$prefix"
echo "$prefix" >&3
